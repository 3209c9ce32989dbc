#include <pthread.h>

#include <new>

#include "klib/ksemaphore.h"

namespace {
struct sem_impl {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  uint32_t count;
  uint32_t maximum;
};
}  // namespace

uint32_t ksemaphore_libinit() {
  return 0;
}

void ksemaphore_libcleanup() {}

uint32_t ksemaphore_create(ksemaphore* s, uint32_t initial, uint32_t maximum) {
  s->handle = nullptr;
  if (initial > maximum) return 1;
  sem_impl* p = new (std::nothrow) sem_impl;
  if (!p) return 1;
  if (pthread_mutex_init(&p->mutex, nullptr) != 0) {
    delete p;
    return 1;
  }
  if (pthread_cond_init(&p->cond, nullptr) != 0) {
    pthread_mutex_destroy(&p->mutex);
    delete p;
    return 1;
  }
  p->count = initial;
  p->maximum = maximum;
  s->handle = p;
  return 0;
}

uint32_t ksemaphore_create_initial(ksemaphore* s, uint32_t initial) {
  return ksemaphore_create(s, initial, KSEMAPHORE_MAX);
}

uint32_t ksemaphore_create_empty(ksemaphore* s) {
  return ksemaphore_create(s, 0, KSEMAPHORE_MAX);
}

void ksemaphore_destroy(ksemaphore* s) {
  sem_impl* p = static_cast<sem_impl*>(s->handle);
  if (!p) return;
  pthread_cond_destroy(&p->cond);
  pthread_mutex_destroy(&p->mutex);
  delete p;
  s->handle = nullptr;
}

void ksemaphore_wait(ksemaphore* s) {
  sem_impl* p = static_cast<sem_impl*>(s->handle);
  if (!p) return;
  pthread_mutex_lock(&p->mutex);
  while (p->count == 0) pthread_cond_wait(&p->cond, &p->mutex);
  --p->count;
  pthread_mutex_unlock(&p->mutex);
}

uint32_t ksemaphore_release(ksemaphore* s, uint32_t count) {
  sem_impl* p = static_cast<sem_impl*>(s->handle);
  if (!p) return 1;
  pthread_mutex_lock(&p->mutex);
  uint32_t rc = 1;
  if (count <= p->maximum - p->count) {
    p->count += count;
    pthread_cond_broadcast(&p->cond);
    rc = 0;
  }
  pthread_mutex_unlock(&p->mutex);
  return rc;
}

uint32_t ksemaphore_post(ksemaphore* s) {
  return ksemaphore_release(s, 1);
}
