// Inside the VANTO module: what DllRegisterServer records (and DllUnregisterServer removes).
#pragma once

#include <string>
#include <vector>

#include "platform/automation/registry.h"

std::vector<RegistryEntry> VantoRegistryEntries(const std::string& modulePath);
