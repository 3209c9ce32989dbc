// The Windows half of the host: the console mode with its console control
// handler, and the service mode under the service control manager (the
// dispatcher, the service main and the control handler).
#include <windows.h>

#include <atomic>

#include "host/kservice_sys.h"

namespace {

// The application of this process, for the handlers the system calls.
kservice_app* g_app = nullptr;

// Stops are taken while the application runs, and cleanup waits for those
// in progress: a stop never touches what cleanup releases.
std::atomic<bool> g_accepting{false};
std::atomic<int> g_stopping{0};

void request_stop() {
  g_stopping.fetch_add(1);
  if (g_accepting.load() && g_app) g_app->stop(g_app);
  g_stopping.fetch_sub(1);
}

BOOL WINAPI console_handler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      request_stop();
      return TRUE;
    case CTRL_LOGOFF_EVENT:
      return TRUE;  // the process survives the logoff
    default:
      return FALSE;
  }
}

int run_app(kservice_app* app) {
  app->banner_start(app);
  uint32_t rc = app->init(app);
  if (rc == 0) {
    rc = app->run(app);
    g_accepting.store(false);
    while (g_stopping.load() != 0) Sleep(1);
    app->cleanup(app);
  }
  app->banner_stop(app);
  return static_cast<int>(rc);
}

SERVICE_STATUS g_status;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;

void WINAPI control_handler(DWORD control) {
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) return;
  g_status.dwCurrentState = SERVICE_STOP_PENDING;
  g_status.dwWaitHint = 60000;
  SetServiceStatus(g_status_handle, &g_status);
  request_stop();
}

void WINAPI service_main(DWORD, LPSTR*) {
  kservice_app* app = g_app;
  g_status_handle = RegisterServiceCtrlHandlerA(kstring_text(&app->service_name), control_handler);
  if (!g_status_handle) return;
  SetConsoleCtrlHandler(console_handler, TRUE);
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
  g_status.dwCurrentState = SERVICE_RUNNING;
  g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  g_status.dwWin32ExitCode = 0;
  g_status.dwServiceSpecificExitCode = 0;
  g_status.dwCheckPoint = 0;
  g_status.dwWaitHint = 0;
  // Running is reported before the application starts: a stop may come
  // while init still runs.
  g_accepting.store(true);
  SetServiceStatus(g_status_handle, &g_status);
  SetCurrentDirectoryA(kstring_text(&app->module_dir));
  run_app(app);
  g_status.dwCurrentState = SERVICE_STOPPED;
  SetServiceStatus(g_status_handle, &g_status);
}

}  // namespace

uint32_t kservice_sys_pid() {
  return GetCurrentProcessId();
}

uint32_t kservice_module_path(kstring* out) {
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return 0;
  return kstring_assign_bytes(out, buf, n);
}

// The dispatcher itself tells: it returns at once outside the manager.
int kservice_sys_started_by_manager() {
  return 1;
}

int kservice_sys_console(kservice_app* app) {
  g_app = app;
  g_accepting.store(true);
  SetConsoleCtrlHandler(console_handler, TRUE);
  return run_app(app);
}

int kservice_sys_service(kservice_app* app) {
  g_app = app;
  SERVICE_TABLE_ENTRYA table[] = {
      {const_cast<char*>(kstring_text(&app->service_name)), service_main},
      {nullptr, nullptr},
  };
  // Returns when the service has stopped, or at once (1063) when the
  // process was not started by the service control manager.
  StartServiceCtrlDispatcherA(table);
  return 0;
}
