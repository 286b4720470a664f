// The filter's two buffers: static at the usual block size, allocated at any
// other, both page-aligned, as on some CPUs the kernel copies far slower to
// unaligned memory.
#include "buffers.hpp"

#include <cstdlib>

#include "grammar.hpp"
#include "io.hpp"
#include "scan.hpp"

// At the usual block size, with pages of 4096 bytes, the buffers are static:
// a small input then costs no mapping of memory and no giving it back, about
// a hundredth of what filling a small template takes. AddressSanitizer puts
// no guard after a global aligned past its own alignment, so under it the
// buffers are always allocated, where a read one byte past them is caught.
#if defined(__SANITIZE_ADDRESS__)
#define FILLVARS_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FILLVARS_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef FILLVARS_ADDRESS_SANITIZER
constexpr bool STATIC_BUFFERS = false;
#else
constexpr bool STATIC_BUFFERS = true;
#endif
constexpr size_t STATIC_PAGE = 4096;
constexpr size_t STATIC_FRONT =
    (BEFORE_START + NAME_WINDOW + STATIC_PAGE - 1) / STATIC_PAGE * STATIC_PAGE;
alignas(STATIC_PAGE) static char static_input[STATIC_FRONT + BLOCK_SIZE + SCAN_PAST];
alignas(STATIC_PAGE) static char static_output[BLOCK_SIZE + COPY_PAST];

// Before the read target: the carried bytes, and room before them.
static size_t front() {
    return page_rounded(BEFORE_START + NAME_WINDOW);
}

Buffers buffers_take(size_t block_size) {
    if (STATIC_BUFFERS && block_size == BLOCK_SIZE && front() == STATIC_FRONT)
        return {static_input + STATIC_FRONT, static_output, true};
    char *input = page_aligned_alloc(front() + block_size + SCAN_PAST);
    return {input + front(), page_aligned_alloc(block_size + COPY_PAST), false};
}

void buffers_give_back(const Buffers &buffers) {
    if (buffers.fixed)
        return;
    std::free(buffers.output);
    std::free(buffers.target - front());
}
