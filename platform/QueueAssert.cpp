#include "platform/QueueAssert.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace caldrovex::platform {

void queueRuleBroken(std::string_view queue, const char* function, const char* file,
                     unsigned line) {
    const std::string name(queue);
    std::fprintf(stderr, "%s:%u: %s ran off its queue \"%s\"\n", file, line, function,
                 name.c_str());
    std::abort();
}

}  // namespace caldrovex::platform
