#include <pthread.h>

#include <cstdlib>

#include "klib/kmutex.h"

uint32_t kmutex_libinit() {
  return 0;
}

void kmutex_libcleanup() {}

uint32_t kmutex_create(kmutex* m) {
  m->handle = nullptr;
  pthread_mutex_t* mx = static_cast<pthread_mutex_t*>(malloc(sizeof(pthread_mutex_t)));
  if (!mx) return 1;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  int rc = pthread_mutex_init(mx, &attr);
  pthread_mutexattr_destroy(&attr);
  if (rc != 0) {
    free(mx);
    return 1;
  }
  m->handle = mx;
  return 0;
}

void kmutex_destroy(kmutex* m) {
  if (!m->handle) return;
  pthread_mutex_destroy(static_cast<pthread_mutex_t*>(m->handle));
  free(m->handle);
  m->handle = nullptr;
}

void kmutex_lock(kmutex* m) {
  if (m->handle) pthread_mutex_lock(static_cast<pthread_mutex_t*>(m->handle));
}

void kmutex_unlock(kmutex* m) {
  if (m->handle) pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m->handle));
}
