#include "platform/platform.h"

#include "platform/ptr32.h"

#if !defined(_WIN32)
#include <mutex>
#include <unordered_map>
#include <vector>
#endif

namespace plat {

namespace {
Platform* g_platform = nullptr;
}

Platform& Os() { return *g_platform; }
void SetPlatform(Platform* platform) { g_platform = platform; }

size_t FolderPartLength(const char* path) {
  size_t separator = 0;
  bool found = false;
  for (size_t i = 0; path != nullptr && path[i] != '\0'; ++i) {
    if (Os().IsDbcsLeadByte(static_cast<uint8_t>(path[i])) && path[i + 1] != '\0') {
      ++i;
    } else if (path[i] == '\\') {
      separator = i;
      found = true;
    }
  }
  if (!found) return 0;
  return separator == 2 && path[1] == ':' ? 3 : separator;
}

#if !defined(_WIN32)
// Request blocks carry a pointer for the duration of one command only, so a
// ring of slots is plenty: a token stays valid until 4095 other pointers have
// been handed out after it.
namespace {
constexpr uint32_t kSlots = 4096;
std::mutex g_tokens_mutex;
std::vector<void*> g_slots(kSlots, nullptr);
std::unordered_map<void*, uint32_t> g_index;
uint32_t g_next = 1;
}  // namespace

PtrField PtrToField(void* pointer) {
  if (pointer == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_tokens_mutex);
  auto found = g_index.find(pointer);
  if (found != g_index.end()) return found->second;
  uint32_t slot = g_next;
  g_next = g_next % (kSlots - 1) + 1;
  if (g_slots[slot] != nullptr) g_index.erase(g_slots[slot]);
  g_slots[slot] = pointer;
  g_index[pointer] = slot;
  return slot;
}

void* FieldToPtr(PtrField field) {
  std::lock_guard<std::mutex> lock(g_tokens_mutex);
  return field < kSlots ? g_slots[field] : nullptr;
}
#endif

}  // namespace plat

void WaitMilliseconds(uint32_t milliseconds) {
  plat::Platform& os = plat::Os();
  // Nothing ever signals the event: the wait always runs to its time-out.
  plat::Handle event = os.CreateEvent();
  if (event == nullptr) {
    // The wait still takes its time: the worker's waits give the drive the
    // time it needs to program its flash.
    os.Sleep(milliseconds);
    return;
  }
  os.WaitForEvent(event, milliseconds);
  os.CloseEvent(event);
}
