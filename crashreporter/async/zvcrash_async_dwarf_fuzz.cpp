// Unwind tables from a damaged or hostile image: the reader, the programs and the rules'
// application must end with a code, never a fault or a hang. The input's first eight bytes
// choose the variant and the PC; the rest is the section, in a simulated task beside a stack.
//   byte 0: bit 0 .debug_frame, bit 1 the 32-bit variant, bit 2 the PC is exact
//   bytes 1-4: the PC (little-endian); bytes 5-7: unused
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreporter/async/SimulatedTask.h"
#include "crashreporter/async/zvcrash_async_dwarf_expression.h"
#include "crashreporter/async/zvcrash_async_dwarf_unwind.h"
#include "crashreporter/async/zvcrash_async_thread_state.h"

namespace {

using namespace zvcrash::async;

constexpr uint64_t kSection = 0x10000;
constexpr uint64_t kStack = 0x7fff0000;
constexpr uint64_t kStackSize = 512;

template <typename P, typename S>
void unwind(zvcrash_async_task_t task, const zvcrash_async_mobject* mobj, bool debugFrame, bool exact, uint64_t pc, uint32_t cpu) {
    zvcrash_async_thread_state current, caller;
    zvcrash_async_thread_state_init(&current, cpu);
    const size_t count = zvcrash_async_thread_state_get_reg_count(&current);
    for (zvcrash_async_regnum regnum = 0; regnum < count; ++regnum)
        zvcrash_async_thread_state_set_reg(&current, regnum, kStack + 8 * regnum);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_IP, pc);
    zvcrash_async_thread_state_set_reg(&current, ZVCRASH_REG_SP, kStack + kStackSize / 2);

    zvcrash_async_dwarf_frame_reader reader;
    zvcrash_async_dwarf_frame_reader_init(&reader, mobj, zvcrash_async_byteorder_direct(), sizeof(P) == 8, debugFrame);
    bool signal = false;
    zvcrash_async_dwarf_unwind_frame<P, S>(task, &reader, nullptr, &current, exact, &caller, &signal);

    // The same bytes as one expression, with the stack pointer as its initial value.
    P initial = static_cast<P>(kStack);
    P result;
    zvcrash_async_dwarf_expression_eval<P, S>(mobj, task, &current, zvcrash_async_byteorder_direct(),
                                              zvcrash_async_mobject_base_address(mobj), 0,
                                              static_cast<int64_t>(zvcrash_async_mobject_length(mobj)), &initial, 1, &result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const uint8_t flags = data[0];
    const uint64_t pc = static_cast<uint64_t>(data[1]) | static_cast<uint64_t>(data[2]) << 8 | static_cast<uint64_t>(data[3]) << 16 |
                        static_cast<uint64_t>(data[4]) << 24;
    zvcrash::testing::SimulatedTask task;
    task.map(kSection, std::vector<uint8_t>(data + 8, data + size));
    std::vector<uint8_t> stack(kStackSize);
    for (size_t i = 0; i < kStackSize; ++i) stack[i] = static_cast<uint8_t>(i * 7);
    task.map(kStack, stack);

    zvcrash_async_mobject mobj;
    if (zvcrash_async_mobject_init(&mobj, task.task(), kSection, size - 8, true) != ZVCRASH_OK) return 0;
    const bool debugFrame = (flags & 1) != 0;
    const bool exact = (flags & 4) != 0;
    if ((flags & 2) != 0)
        unwind<unsigned int, int>(task.task(), &mobj, debugFrame, exact, pc, ZVCRASH_THREAD_STATE_CPU_X86);
    else
        unwind<unsigned long long, long long>(task.task(), &mobj, debugFrame, exact, pc, ZVCRASH_THREAD_STATE_CPU_X86_64);
    zvcrash_async_mobject_free(&mobj);
    return 0;
}
