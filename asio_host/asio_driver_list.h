#pragma once

// The ASIO drivers installed on the machine, as driver installers register them: one key
// per driver below "software\asio" (local machine) naming the class id of its in-process
// object, whose server is registered below the classes root.
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/registry.h"

struct TAsioDriverEntry {
  GUID Id;
  char Name[512];  // the driver's key name, shown to the user
  char Path[512];  // full path of the driver library
};
using TAsioDriverList = std::vector<TAsioDriverEntry>;

// Where the registration is read. The installed drivers live at the standard places; tests
// point elsewhere so that they can register drivers of their own without touching those.
struct TAsioDriverRegistry {
  platform::RegistryRoot DriversRoot = platform::RegistryRoot::LocalMachine;
  std::string DriversPath = "software\\asio";
  platform::RegistryRoot ClassesRoot = platform::RegistryRoot::ClassesRoot;
  std::string ClassesPath = "clsid";
};

// Empties `List` and fills it with every registered driver whose library exists, in the
// registry's enumeration order. A class id text that names an existing server but does not
// parse raises EAsioDriverList and ends the listing.
void ListAsioDrivers(TAsioDriverList& List, const TAsioDriverRegistry& Registry = {});

// 0 when `ClassId` has an in-process server whose library file exists, with `Path` set to
// its full path; -1 otherwise. `Path` is written as soon as the server key opened, also
// when the result is -1. A bare file name is looked for in the system directory, then in
// the Windows directory.
int FindAsioDriverPath(const std::string& ClassId, std::string& Path,
                       const TAsioDriverRegistry& Registry = {});

class EAsioDriverList : public std::runtime_error {
 public:
  EAsioDriverList(const std::string& message, HRESULT code)
      : std::runtime_error(message), Code(code) {}
  HRESULT Code;
};
