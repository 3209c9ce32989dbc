#include "klib/kerror.h"

static const char* g_messages[KERROR_TABLE_SIZE];

uint32_t kerror_libinit() {
  for (const char*& m : g_messages) m = "";
  g_messages[KERR_OK] = "No error";
  g_messages[KERR_FAILED] = "The operation failed";
  g_messages[KERR_NETDOWN] = "Network is down";
  g_messages[KERR_AFNOSUPPORT] = "Address family not supported by protocol family";
  g_messages[KERR_INPROGRESS] = "Operation now in progress";
  g_messages[KERR_MFILE] = "Too many open files";
  g_messages[KERR_NOBUFS] = "No buffer space available";
  g_messages[KERR_NOTSOCK] = "Socket operation on nonsocket";
  g_messages[KERR_WOULDBLOCK] = "Resource temporarily unavailable (WOULDBLOCK)";
  g_messages[KERR_INTR] = "Interrupted function call";
  g_messages[KERR_NOTADDRESS] = "Not an internet address";
  g_messages[KERR_TIMEOUT] = "Timeout during operation";
  g_messages[KERR_VERSION] = "Winsock version not compatible";
  g_messages[KERR_NOTINITIALISED] = "Socket layer init not yet performed";
  g_messages[KERR_NOTCONN] = "Socket is not connected";
  g_messages[KERR_EOF] = "EOF - End of file";
  g_messages[KERR_SMT_FRAME] = "Invalid SMT message frame";
  g_messages[KERR_SMT_SIZE] = "Invalid SMT frame size";
  g_messages[KERR_NOMEM] = "Cannot alloc memory";
  g_messages[KERR_OPAQUE] = "Opaque implementation error";
  g_messages[KERR_SCM_ACCESS] = "Service manager access denied";
  g_messages[KERR_SCM_HANDLE] = "Invalid handle was used";
  g_messages[KERR_SCM_NAME] = "Invalid or non existing service name was used";
  return 0;
}

void kerror_libcleanup() {}

const char* kerror_message(uint32_t code) {
  if (code >= KERROR_TABLE_SIZE) return "Invalid error index";
  // Before kerror_libinit the table is empty; answer with an empty text too.
  return g_messages[code] ? g_messages[code] : "";
}
