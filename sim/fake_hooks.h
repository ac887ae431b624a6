// Plugs the emulated drives into the test platform (src/platform/fake/fake_platform.h).
//
// Templates, so the sim library does not depend on the test double:
//   FakePlatform fake;
//   sim::KestranDrive drive(sim::FakeClock(fake));
//   sim::SimAspi bus;  bus.AddAdapter();  bus.AttachDrive(0, 1, &drive);
//   sim::ConnectAspi(fake, bus);        // LoadLibrary("WNASPI32.DLL") finds it
//   sim::SimPassThrough pt;  pt.AttachDrive('E', &drive);
//   sim::ConnectPassThrough(fake, pt);  // OpenDevice, pass-through, drive types
// The bus and the pass-through object must outlive the platform's use of them
// (and any asynchronous completion still scheduled).
#pragma once

#include <cstring>
#include <functional>
#include <utility>

#include "aspi_adapter.h"
#include "passthrough_adapter.h"

namespace sim {

template <class Fake>
std::function<uint64_t()> FakeClock(Fake& fake) {
  return [&fake] { return fake.NowMs(); };
}

inline bool IsAspiLibraryName(const char* name) {
  static const char kName[] = "WNASPI32.DLL";
  if (name == nullptr || std::strlen(name) != sizeof kName - 1) return false;
  for (size_t i = 0; kName[i]; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != kName[i]) return false;
  }
  return true;
}

// LoadLibrary("WNASPI32.DLL") / GetProcAddress / FreeLibrary answer with the
// bus's static entry points; asynchronous completion runs on the virtual clock.
template <class Fake>
void ConnectAspi(Fake& fake, SimAspi& bus) {
  SimAspi::SetCurrent(&bus);
  bus.schedule = [&fake](uint64_t delay, std::function<void()> task) {
    fake.Schedule(delay, std::move(task));
  };
  fake.load_library = [&bus](const char* name) -> plat::Handle {
    if (!IsAspiLibraryName(name)) return nullptr;
    ++bus.library_loads;
    return SimAspi::LibraryHandle();
  };
  fake.get_proc_address = [](plat::Handle library, const char* name) -> void* {
    return library == SimAspi::LibraryHandle() ? SimAspi::EntryPoint(name) : nullptr;
  };
  fake.free_library = [&bus](plat::Handle library) {
    if (library == SimAspi::LibraryHandle()) ++bus.library_frees;
  };
}

template <class Fake>
void ConnectPassThrough(Fake& fake, SimPassThrough& pt) {
  fake.open_device = [&fake, &pt](const char* name, uint32_t access,
                                  uint32_t share) -> plat::Handle {
    plat::Handle h = pt.OpenDevice(name, access, share);
    if (h == nullptr) fake.last_error = pt.last_error();
    return h;
  };
  fake.get_capabilities = [&fake, &pt](plat::Handle device, void* caps) {
    const bool ok = pt.GetCapabilities(device, caps);
    if (!ok) fake.last_error = pt.last_error();
    return ok;
  };
  fake.pass_through = [&fake, &pt](plat::Handle device, void* block) {
    const bool ok = pt.PassThrough(device, block);
    if (!ok) fake.last_error = pt.last_error();
    return ok;
  };
  fake.device_control = [&fake, &pt](plat::Handle device, uint32_t code, const void* in,
                                     uint32_t in_size, void* out, uint32_t out_size) {
    const bool ok = pt.DeviceControl(device, code, in, in_size, out, out_size);
    if (!ok) fake.last_error = pt.last_error();
    return ok;
  };
  fake.close_device = [&pt](plat::Handle device) { pt.CloseDevice(device); };
  fake.drive_type = [&pt](const char* root) { return pt.GetDriveType(root); };
}

}  // namespace sim
