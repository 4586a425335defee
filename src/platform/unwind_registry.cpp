#include "platform/unwind_registry.h"

#if defined(VOXEVAL_DWARF_UNWIND)
// libgcc's entry points, declared in no header.
extern "C" void __register_frame_table(void *list);
extern "C" void __deregister_frame(void *list);

void RegisterUnwindList(void **list) { __register_frame_table(list); }

void WithdrawUnwindList(void **list) { __deregister_frame(list); }
#else
void RegisterUnwindList(void **) {}
void WithdrawUnwindList(void **) {}
#endif
