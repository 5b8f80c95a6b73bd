/* The C program's entry, for its harness: runs the whole session on the machine the harness made,
 * and says which check failed first (NULL when all passed), with a line per step in `transcript`. */
#ifndef READER_SESSION_H
#define READER_SESSION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

const char* RunReaderSession(char* transcript, size_t size);

#ifdef __cplusplus
}
#endif

#endif
