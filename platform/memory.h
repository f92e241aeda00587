#pragma once
// Process memory housekeeping.

namespace platform {

// Returns the allocator's free pages to the system, so that memory freed when the pipelines stopped no longer
// counts as the program's. Any thread; costs a walk of the heap, so it is called only after large frees.
void release_free_memory();

}
