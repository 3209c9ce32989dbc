#include <cstdio>

#include "host/kservice.h"
#include "klib/kerror.h"

int kservice_verb_install(kservice_app* app) {
  printf("Installation Failure (%s) : %s\n", kerror_message(KERR_FAILED),
         kstring_text(&app->service_name));
  return 0;
}

int kservice_verb_remove(kservice_app* app) {
  printf("Remove Failure (%s) : %s\n", kerror_message(KERR_FAILED),
         kstring_text(&app->service_name));
  return 0;
}
