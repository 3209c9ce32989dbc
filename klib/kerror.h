// kerror: the one numbering of failure codes of the library and its fixed
// English messages. 0 is success. Modules that wrap the platform translate the
// platform's error into these codes where the call fails; no last-error value
// travels further. The table is built once by kerror_libinit before any other
// thread exists and is only read afterwards.
#pragma once

#include <cstdint>

constexpr uint32_t KERR_OK = 0;
constexpr uint32_t KERR_FAILED = 1;
constexpr uint32_t KERR_NETDOWN = 2;
constexpr uint32_t KERR_AFNOSUPPORT = 3;
constexpr uint32_t KERR_INPROGRESS = 4;
constexpr uint32_t KERR_MFILE = 5;
constexpr uint32_t KERR_NOBUFS = 6;
constexpr uint32_t KERR_NOTSOCK = 7;
constexpr uint32_t KERR_WOULDBLOCK = 8;
constexpr uint32_t KERR_INTR = 9;
constexpr uint32_t KERR_NOTADDRESS = 10;
constexpr uint32_t KERR_TIMEOUT = 11;
constexpr uint32_t KERR_VERSION = 12;
constexpr uint32_t KERR_NOTINITIALISED = 13;
constexpr uint32_t KERR_NOTCONN = 14;
constexpr uint32_t KERR_EOF = 15;
constexpr uint32_t KERR_SMT_FRAME = 50;
constexpr uint32_t KERR_SMT_SIZE = 51;
constexpr uint32_t KERR_NOMEM = 100;
constexpr uint32_t KERR_OPAQUE = 200;
constexpr uint32_t KERR_SCM_ACCESS = 500;
constexpr uint32_t KERR_SCM_HANDLE = 501;
constexpr uint32_t KERR_SCM_NAME = 502;

#define KERROR_TABLE_SIZE 1024

uint32_t kerror_libinit();  // 0
void kerror_libcleanup();
// Static text; empty for an unassigned code, "Invalid error index" from 1024.
const char* kerror_message(uint32_t code);
