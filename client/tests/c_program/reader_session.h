/* The C program's entry, for its harness: runs the whole session on the machine the harness made,
 * and says which check failed first (NULL when all passed), with a line per step in `transcript`. */
#ifndef READER_SESSION_H
#define READER_SESSION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

const char* RunReaderSession(char* transcript, size_t size);

/* Four readers added and started, then `pullBus` pulls one of the two buses out (as a person pulls a
 * device) and more readers are added: each add-and-wait must name its own reader, whatever became
 * of the readers on the pulled bus. */
const char* RunPulledBusSession(char* transcript, size_t size, void (*pullBus)(void));

#ifdef __cplusplus
}
#endif

#endif
