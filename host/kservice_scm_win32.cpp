// The service manager operations on the Windows service control manager.
// Every operation opens the named service with the access it needs, makes
// one call and closes the service again; a failure is the translation of the
// system's last error, taken before anything else is closed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "host/kservice_scm.h"
#include "klib/kerror.h"

// The quoted image path must fit in this many characters, its NUL included.
static const size_t kImagePathMax = 260;
static const DWORD kConfigBufferSize = 8192;

uint32_t kservice_error() {
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
      return KERR_SCM_ACCESS;
    case ERROR_INVALID_HANDLE:
      return KERR_SCM_HANDLE;
    case ERROR_INVALID_NAME:
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_SERVICE_MARKED_FOR_DELETE:
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      return KERR_SCM_NAME;
    default:
      return KERR_FAILED;
  }
}

static SC_HANDLE manager_of(const kscm* scm) {
  return static_cast<SC_HANDLE>(const_cast<void*>(scm->handle));
}

uint32_t kservice_scm_open(kscm* scm, const char* machine, uint32_t access_class) {
  DWORD access = GENERIC_ALL;
  if (access_class == KSERVICE_READ) access = GENERIC_READ;
  if (access_class == KSERVICE_WRITE) access = GENERIC_WRITE;
  if (access_class == KSERVICE_EXECUTE) access = GENERIC_EXECUTE;
  SC_HANDLE h = OpenSCManagerA(machine && *machine ? machine : nullptr, nullptr, access);
  if (!h) return kservice_error();
  scm->handle = h;
  scm->open = 1;
  scm->access = access_class;
  return 0;
}

uint32_t kservice_scm_close(kscm* scm) {
  if (scm->handle) CloseServiceHandle(manager_of(scm));
  scm->handle = nullptr;
  scm->open = 0;
  return 0;
}

uint32_t kservice_create(kscm* scm, const char* name, const char* path, uint32_t interactive) {
  if (!scm->open) return KERR_SCM_HANDLE;
  char image[kImagePathMax];
  int n = snprintf(image, sizeof image, "\"%s\"", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof image) return KERR_FAILED;
  DWORD type = SERVICE_WIN32_OWN_PROCESS | (interactive ? SERVICE_INTERACTIVE_PROCESS : 0);
  SC_HANDLE s =
      CreateServiceA(manager_of(scm), name, name, GENERIC_WRITE, type, SERVICE_AUTO_START,
                     SERVICE_ERROR_IGNORE, image, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!s) return kservice_error();
  CloseServiceHandle(s);
  return 0;
}

uint32_t kservice_create_as(kscm* scm, const char* name, const char* path, uint32_t interactive,
                            const kservice_account*) {
  // The service runs as the local system account, as the manager defines it.
  return kservice_create(scm, name, path, interactive);
}

// Opens the service, runs call on it and closes it; the translated error of
// whichever step failed.
template <typename Call>
static uint32_t with_service(kscm* scm, const char* name, DWORD access, Call call) {
  if (!scm->open) return KERR_SCM_HANDLE;
  SC_HANDLE s = OpenServiceA(manager_of(scm), name, access);
  if (!s) return kservice_error();
  uint32_t rc = call(s);
  CloseServiceHandle(s);
  return rc;
}

uint32_t kservice_delete(kscm* scm, const char* name) {
  return with_service(scm, name, GENERIC_WRITE | DELETE, [](SC_HANDLE s) -> uint32_t {
    return DeleteService(s) ? 0 : kservice_error();
  });
}

uint32_t kservice_start(kscm* scm, const char* name) {
  return with_service(scm, name, GENERIC_EXECUTE, [](SC_HANDLE s) -> uint32_t {
    return StartServiceA(s, 0, nullptr) ? 0 : kservice_error();
  });
}

uint32_t kservice_stop(kscm* scm, const char* name) {
  return with_service(scm, name, GENERIC_EXECUTE, [](SC_HANDLE s) -> uint32_t {
    SERVICE_STATUS status;
    return ControlService(s, SERVICE_CONTROL_STOP, &status) ? 0 : kservice_error();
  });
}

uint32_t kservice_query_state(kscm* scm, const char* name, uint32_t* state) {
  return with_service(scm, name, GENERIC_READ, [state](SC_HANDLE s) -> uint32_t {
    SERVICE_STATUS status;
    if (!QueryServiceStatus(s, &status)) return kservice_error();
    switch (status.dwCurrentState) {
      case SERVICE_RUNNING:
        *state = KSERVICE_RUNNING;
        break;
      case SERVICE_START_PENDING:
      case SERVICE_STOP_PENDING:
      case SERVICE_CONTINUE_PENDING:
      case SERVICE_PAUSE_PENDING:
      case SERVICE_PAUSED:
        *state = KSERVICE_PENDING;
        break;
      case SERVICE_STOPPED:
        *state = KSERVICE_STOPPED;
        break;
      default:
        break;  // outside the table: no state stored
    }
    return 0;
  });
}

uint32_t kservice_query_path(kscm* scm, const char* name, kstring* out) {
  return with_service(scm, name, GENERIC_READ, [out](SC_HANDLE s) -> uint32_t {
    void* buf = malloc(kConfigBufferSize);
    if (!buf) return KERR_NOMEM;
    DWORD needed = 0;
    QUERY_SERVICE_CONFIGA* config = static_cast<QUERY_SERVICE_CONFIGA*>(buf);
    uint32_t rc = 0;
    if (!QueryServiceConfigA(s, config, kConfigBufferSize, &needed)) {
      rc = kservice_error();
    } else {
      kstring_assign_cstr(out, config->lpBinaryPathName ? config->lpBinaryPathName : "");
      kstring_remove_chars_cstr(out, "\"");
    }
    free(buf);
    return rc;
  });
}
