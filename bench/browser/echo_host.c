/* The browser benchmark's floor: a bare native-messaging host that answers without doing any
 * work, so that the time a page waits for it is the route's own.
 *
 * Each message from the browser is a JSON object with a question number q and a size n:
 *   n = 0  the message goes back as it came (a tiny round trip);
 *   n > 0  the answer is {"q":Q,"v":"xxxx..."}, n bytes of JSON text in all, sent as vocle-host
 *          sends a long message: {"t":"part","d":PIECE} messages of at most 256 KiB of the text
 *          each, the last with "end":true. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { piece_size = 256 * 1024 };

static int put(const void* data, size_t size) {
  const char* at = data;
  while (size > 0) {
    ssize_t done = write(1, at, size);
    if (done <= 0)
      return 0;
    at += done;
    size -= (size_t)done;
  }
  return 1;
}

static int put_frame(const char* text, uint32_t size) {
  return put(&size, sizeof size) && put(text, size);
}

static long number_after(const char* text, const char* key) {
  const char* at = strstr(text, key);
  return at ? strtol(at + strlen(key), NULL, 10) : 0;
}

/* The answer of n bytes, cut into part messages; each quote of the text is escaped. */
static int answer(long q, long n) {
  char head[64];
  const int head_size = snprintf(head, sizeof head, "{\"q\":%ld,\"v\":\"", q);
  if (n < head_size + 2)
    n = head_size + 2;
  char* text = malloc((size_t)n);
  char* piece = malloc(2 * piece_size + 64);
  if (!text || !piece)
    return 0;
  memcpy(text, head, (size_t)head_size);
  memset(text + head_size, 'x', (size_t)(n - head_size - 2));
  memcpy(text + n - 2, "\"}", 2);
  int ok = 1;
  for (long at = 0; ok && at < n; at += piece_size) {
    const long end = at + piece_size < n ? at + piece_size : n;
    size_t size = (size_t)sprintf(piece, "{\"t\":\"part\",\"d\":\"");
    for (long k = at; k < end; ++k) {
      if (text[k] == '"')
        piece[size++] = '\\';
      piece[size++] = text[k];
    }
    size += (size_t)sprintf(piece + size, end == n ? "\",\"end\":true}" : "\"}");
    ok = put_frame(piece, (uint32_t)size);
  }
  free(piece);
  free(text);
  return ok;
}

int main(void) {
  for (;;) {
    uint32_t size = 0;
    if (fread(&size, sizeof size, 1, stdin) != 1 || size > 64u * 1024 * 1024)
      return 0;
    char* message = malloc((size_t)size + 1);
    if (!message || fread(message, 1, size, stdin) != size)
      return 0;
    message[size] = '\0';
    const long n = number_after(message, "\"n\":");
    const int ok = n > 0 ? answer(number_after(message, "\"q\":"), n) : put_frame(message, size);
    free(message);
    if (!ok)
      return 0;
  }
}
