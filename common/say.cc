// SPDX-License-Identifier: MIT
#include "common/say.h"

#include <syslog.h>

namespace {

void to_limit(void *limit, int priority, const char *format, va_list args)
{
  if (log_limit_pass(static_cast<log_limit *>(limit)))
    vsyslog(priority, format, args);
}

}  // namespace

void say(const say_sink *sink, int priority, const char *format, ...)
{
  va_list args;
  va_start(args, format);
  if (sink)
    sink->say(sink->context, priority, format, args);
  else
    vsyslog(priority, format, args);
  va_end(args);
}

say_sink say_limited(log_limit *limit)
{
  return {to_limit, limit};
}
