#include "lwatch/lwsource.h"

void lwevent_init(lwevent* ev) {
  ev->time = 0;
  ev->id = 0;
  ev->type = 0;
  ev->has_user = 0;
  ev->has_message = 0;
  kstring_init(&ev->source);
  kstring_init(&ev->domain);
  kstring_init(&ev->account);
  kstring_init(&ev->message);
}

void lwevent_free(lwevent* ev) {
  kstring_free(&ev->message);
  kstring_free(&ev->account);
  kstring_free(&ev->domain);
  kstring_free(&ev->source);
}

void lwevent_clear(lwevent* ev) {
  ev->time = 0;
  ev->id = 0;
  ev->type = 0;
  ev->has_user = 0;
  ev->has_message = 0;
  kstring_clear(&ev->source);
  kstring_clear(&ev->domain);
  kstring_clear(&ev->account);
  kstring_clear(&ev->message);
}

void lwsource_init(lwsource* src) {
  src->ops = lwsource_platform_ops();
  kstring_init(&src->location);
  src->context = nullptr;
}

void lwsource_free(lwsource* src) {
  kstring_free(&src->location);
}
