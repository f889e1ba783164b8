// The few system calls the Windows build of the automation layer makes, with plain types, so that
// the files that use them never include the system's headers beside our own declarations
// (platform/automation/abi.h). Implemented in system_win.cpp. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vanto::win {

// --- Registry (keys under HKEY_CLASSES_ROOT when `root` is kClassesRoot)
enum class Root { kClassesRoot, kCurrentUser, kLocalMachine };
// Every function answers false on failure and sets `error` to what failed and where.
bool ReadValue(Root root, const std::string& key, const std::string& name, std::optional<std::string>* data,
               std::string* error);
bool WriteValue(Root root, const std::string& key, const std::string& name, const std::string& data,
                std::string* error);
bool RemoveValue(Root root, const std::string& key, const std::string& name, std::string* error);
bool RemoveKeyIfEmpty(Root root, const std::string& key, std::string* error);
bool HasKey(Root root, const std::string& key);
// Every string value of a key (name -> data); an absent key has none.
bool ReadValues(Root root, const std::string& key, std::function<void(const std::string&, const std::string&)> each);

// --- Modules
// The file of the module that holds `address`.
std::string ModulePathOfAddress(const void* address);

// --- Per-thread message window: a hidden message-only window that carries posted work.
// Posts `payload` to the calling thread's window (created at first use). False when it cannot.
bool PostToThreadWindow(void* payload, void (*run)(void*), void (*drop)(void*));
// Runs every message waiting on the calling thread (ours run their payload, others are
// dispatched as a message loop does), including messages posted meanwhile; never blocks.
// Returns how many of ours ran.
std::size_t PumpThreadMessages();
// How many posted items wait on the calling thread.
std::size_t PendingThreadWindowWork();

// --- The calling thread's apartment end: `release` runs once in the thread's last CoUninitialize,
// before the apartment ends (an initialisation spy of the thread; a later call replaces
// `release`). False when the system does not take the notice.
bool NoticeApartmentEnd(void (*release)());

// --- Text of the last system error (FormatMessage), "code N" when there is none.
std::string LastErrorText(unsigned long code);

}  // namespace vanto::win
