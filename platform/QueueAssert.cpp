#include "platform/QueueAssert.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace caldrovex::platform {

void queueRuleBroken(std::string_view queue, const std::source_location& where) {
    const std::string name(queue);
    std::fprintf(stderr, "%s:%u: %s ran off its queue \"%s\"\n", where.file_name(),
                 static_cast<unsigned>(where.line()), where.function_name(), name.c_str());
    std::abort();
}

}  // namespace caldrovex::platform
