// Compiler annotations the core may use without naming a compiler.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VUR_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define VUR_PRINTF_FORMAT(format_index, first_arg)
#endif
