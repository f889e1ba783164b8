// A small terminal control for the module's tests, registered in-process under the control's
// class name. Every instance keeps its own serial port; instances may live on different threads.
// Answers: ProbeMachine is True for the terminal whose number equals the selected port; a card
// read yields one record (person 1000 + port, 2026-12-08 09:30) and then no more; enrolment reads
// find nothing; enrolment writes are accepted.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "platform/automation/abi.h"

class TerminalDouble {
 public:
  // Registers the class (replacing an earlier registration); revokes it on destruction.
  TerminalDouble();
  ~TerminalDouble();
  TerminalDouble(const TerminalDouble&) = delete;
  TerminalDouble& operator=(const TerminalDouble&) = delete;

  // Instances created so far, and the threads that created them.
  static std::atomic<int>& Created();
  static std::set<std::thread::id> CreatorThreads();
  static void NoteCreator();
};
