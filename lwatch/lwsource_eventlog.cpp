// Event source over the Windows event log of the local computer, through
// its ANSI functions. A log name is the log's own ("Application", "System",
// "Security", or any log registered under the EventLog service). Records
// come from ReadEventLogA, newest first in blocks of LWEVTREC_BLOCK bytes
// (with exact following oldest first, from a record number on),
// and are walked and decoded by lwevtrec; this file gives only the platform
// calls behind lwevtrec_backend:
//   account  LookupAccountSidA into 128-character names;
//   message  the source's EventMessageFile value under the EventLog service
//            key, environment variables expanded, each listed module loaded
//            as a data file and asked with FormatMessageA (its own messages,
//            then the system's) with 128 insertion arguments.
// The source's location is not used: the logs read are this computer's.
// Nothing is cached: the registry and the modules are read for every record
// reported, and released again.
#include <windows.h>

#include <cstring>

#include "klib/kerror.h"
#include "lwatch/lwevtrec_internal.h"

// Text buffers of the platform calls, in characters.
constexpr DWORD kNameSize = 128;
constexpr DWORD kPathSize = 260;
constexpr DWORD kMessageSize = 4096;

static uint32_t eventlog_open_log(void*, const char* name, void** log) {
  HANDLE h = OpenEventLogA(nullptr, name);
  if (!h) return KERR_FAILED;
  *log = h;
  return 0;
}

static uint32_t eventlog_read_block(void* log, uint8_t* buf, uint32_t size, uint32_t* delivered) {
  DWORD read = 0, needed = 0;
  if (!ReadEventLogA(static_cast<HANDLE>(log), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ,
                     0, buf, size, &read, &needed))
    // The end of the log, or a record larger than the block: either way the
    // scan of this log ends here.
    return GetLastError() == ERROR_HANDLE_EOF ? KERR_EOF : KERR_FAILED;
  *delivered = read;
  return 0;
}

static void eventlog_close_log(void* log) {
  CloseEventLog(static_cast<HANDLE>(log));
}

static bool eventlog_account(void*, const uint8_t* sid, uint32_t size, kstring* domain,
                             kstring* account) {
  // The identity sits at any offset of the record: it is copied to storage
  // aligned for its 32-bit parts, and checked before the lookup reads it.
  DWORD copy[SECURITY_MAX_SID_SIZE / sizeof(DWORD)] = {};
  if (size < 8 || size > sizeof copy) return false;
  memcpy(copy, sid, size);
  if (!IsValidSid(copy) || GetLengthSid(copy) > size) return false;
  char name[kNameSize], dom[kNameSize];
  DWORD name_size = kNameSize, dom_size = kNameSize;
  SID_NAME_USE use;
  if (!LookupAccountSidA(nullptr, copy, name, &name_size, dom, &dom_size, &use)) return false;
  return kstring_assign_cstr(domain, dom) && kstring_assign_cstr(account, name);
}

static bool eventlog_message_files(void*, const char* log, const char* source, kstring* files) {
  HKEY machine = nullptr;
  if (RegConnectRegistryA(nullptr, HKEY_LOCAL_MACHINE, &machine) != ERROR_SUCCESS) return false;
  kstring path;
  kstring_init(&path);
  bool ok = kstring_format(&path, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s", log,
                           source) != 0;
  HKEY key = nullptr;
  if (ok) ok = RegOpenKeyExA(machine, kstring_text(&path), 0, KEY_READ, &key) == ERROR_SUCCESS;
  kstring_free(&path);
  if (ok) {
    // The value need not end with a NUL: one is put after what was read.
    char value[kPathSize + 1];
    DWORD type = 0, bytes = kPathSize;
    ok = RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &bytes) == ERROR_SUCCESS &&
         (type == REG_SZ || type == REG_EXPAND_SZ);
    if (ok) {
      value[bytes < kPathSize ? bytes : kPathSize] = '\0';
      char expanded[kPathSize];
      DWORD n = ExpandEnvironmentStringsA(value, expanded, kPathSize);
      ok = n != 0 && n <= kPathSize && kstring_assign_cstr(files, expanded);
    }
    RegCloseKey(key);
  }
  RegCloseKey(machine);
  return ok;
}

static bool eventlog_format(void*, const char* file, uint32_t event_id, const char* const* args,
                            kstring* message) {
  // Loaded without resolving its imports or running its entry point: only
  // its message table is read.
  HMODULE module = LoadLibraryExA(file, nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (!module) return false;
  DWORD_PTR array[LWEVTREC_ARGS];
  for (uint32_t k = 0; k < LWEVTREC_ARGS; ++k) array[k] = reinterpret_cast<DWORD_PTR>(args[k]);
  char text[kMessageSize];
  DWORD n = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      module, event_id, 0x400, text, kMessageSize, reinterpret_cast<va_list*>(array));
  bool ok = n > 0 && kstring_assign_bytes(message, text, n);
  FreeLibrary(module);
  return ok;
}

static uint32_t eventlog_range(void* log, uint32_t* oldest, uint32_t* count) {
  DWORD first = 0, n = 0;
  if (!GetOldestEventLogRecord(static_cast<HANDLE>(log), &first) ||
      !GetNumberOfEventLogRecords(static_cast<HANDLE>(log), &n))
    return KERR_FAILED;
  *oldest = first;
  *count = n;
  return 0;
}

static uint32_t eventlog_read_forward(void* log, uint32_t from, uint8_t* buf, uint32_t size,
                                      uint32_t* delivered) {
  DWORD read = 0, needed = 0;
  DWORD how = (from ? EVENTLOG_SEEK_READ : EVENTLOG_SEQUENTIAL_READ) | EVENTLOG_FORWARDS_READ;
  if (!ReadEventLogA(static_cast<HANDLE>(log), how, from, buf, size, &read, &needed))
    return GetLastError() == ERROR_HANDLE_EOF ? KERR_EOF : KERR_FAILED;
  *delivered = read;
  return 0;
}

static const lwevtrec_backend kBackend = {
    eventlog_open_log,      eventlog_read_block, eventlog_close_log, eventlog_account,
    eventlog_message_files, eventlog_format,     eventlog_range,     eventlog_read_forward,
};

const lwevtrec_backend* lwsource_eventlog_backend() {
  return &kBackend;
}

static uint32_t eventlog_open(lwsource* src, const char* name, void** handle) {
  return lwevtrec_open(&kBackend, src->context, name, handle);
}

static uint32_t eventlog_open_after(lwsource* src, const char* name, const kstring* position,
                                    void** handle) {
  return lwevtrec_open_after(&kBackend, src->context, name, position, handle);
}

const lwsource_ops* lwsource_platform_ops() {
  static const lwsource_ops kOps = {eventlog_open,    lwevtrec_read,   lwevtrec_close,
                                    lwevtrec_resolve, lwevtrec_newest, eventlog_open_after,
                                    lwevtrec_next};
  return &kOps;
}
