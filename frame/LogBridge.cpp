#include "frame/LogBridge.h"

#include "frame/Log.h"

namespace {

// The logging library's file name, as the host loads it: the build's own (frame/CMakeLists.txt).
constexpr const char* kLoggingModule = ZVXLOG_FILE_NAME;

std::atomic<const char*> moduleName{kLoggingModule};

// GetProcAddress answers void* here and FARPROC on Windows.
template <class Address>
void* EntryPoint(Address address) {
  return reinterpret_cast<void*>(address);
}

// Built at load, before any thread of the library runs; its destructor is the unload teardown.
CLogBridge bridge;
std::atomic<CLogBridge*> bridgeInstance{&bridge};

}  // namespace

CLogBridge* CLogBridge::Get() {
  return bridgeInstance.load(std::memory_order_acquire);
}

void CLogBridge::SetModuleNameForTesting(const char* soname) {
  moduleName.store(soname);
}

CLogBridge::CLogBridge() {
  state.exchange(1);
}

CLogBridge::~CLogBridge() {
  bridgeInstance.store(nullptr, std::memory_order_release);
  xlogV.store(nullptr);
  getLogController2 = zvDebugReport = xlogAddIndent = nullptr;
  loaded.store(0);
  state.exchange(0);
}

HRESULT CLogBridge::Bind() {
  if (state.load() != 1) return E_FAIL;
  const unsigned long long generation = LoadedModulesGeneration();
  if (generation == missedGeneration.load(std::memory_order_relaxed)) return E_FAIL;
  HMODULE found = GetModuleHandleExW(moduleName.load());
  if (!found) {
    missedGeneration.store(generation, std::memory_order_relaxed);
    return E_FAIL;
  }
  CAutoLock guard(lock);
  if (loaded.load() != 0) return S_FALSE;
  module = found;  // the reference is kept for the life of the process
  xlogV.store(EntryPoint(GetProcAddress(found, "XLogV")));
  zvDebugReport = EntryPoint(GetProcAddress(found, "ZvDebugReport"));
  xlogAddIndent = EntryPoint(GetProcAddress(found, "XLogAddIndent"));
  getLogController2 = EntryPoint(GetProcAddress(found, "GetLogController2"));
  loaded.store(1);
  return S_OK;
}

void CLogBridge::Write(int level, const wchar_t* tag, const wchar_t* format, va_list args) {
  if (state.load() != 1) return;
  if (loaded.load() == 0) Bind();
  auto fn = reinterpret_cast<XLogVFn>(xlogV.load());
  if (fn) fn(level, tag, format, args);
}

void WriteLog(int level, const wchar_t* format, ...) {
  CLogBridge* instance = CLogBridge::Get();
  if (!instance) return;
  va_list args;
  va_start(args, format);
  instance->Write(level, L"", format, args);
  va_end(args);
}

void WriteLogTagged(int level, const wchar_t* tag, const wchar_t* format, ...) {
  CLogBridge* instance = CLogBridge::Get();
  if (!instance) return;
  va_list args;
  va_start(args, format);
  instance->Write(level, tag, format, args);
  va_end(args);
}
