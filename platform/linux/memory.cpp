#include "platform/memory.h"

#include <malloc.h>

namespace platform {

void release_free_memory()
{
    // glibc keeps freed chunks in its arenas (one per thread that allocated); trimming also releases the
    // free pages inside each arena, not only at its top.
    malloc_trim(0);
}

}
