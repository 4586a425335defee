// The number scan the lexer reads each numeric literal with.
#ifndef VOXEVAL_PLATFORM_SCAN_H
#define VOXEVAL_PLATFORM_SCAN_H

// Supports the one conversion "%lg": *value receives the longest prefix of
// text that is a decimal floating-point number, whatever the process locale,
// and keeps what it held when none can be read. Returns the number of values
// assigned (0 or 1), or -1 for a format it does not support.
int m_swscanf(const char16_t *text, const char16_t *format, double *value);

#endif
