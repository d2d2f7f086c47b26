// Replacing a whole file so that a reader, or a power cut, finds the old one or the new one.
#pragma once

#include <string_view>
#include <sys/types.h>

// Writes `text` to `aside` in the directory `directory_fd`, created afresh (never through a link
// or into a file someone left there), with `mode` whatever the umask, and renames it over `name`.
// `durable`: the file and the rename reach the disk before this returns, for files on a card
// that loses power; a file in RAM, rewritten every pass, has no need of it. 0, or the errno of
// the step that failed; `name` is then as it was and `aside` is gone. Writers that may run at
// once need asides of their own.
int replaceFileAt(int directory_fd, const char* name, const char* aside, std::string_view text, mode_t mode,
                  bool durable);

// replaceFileAt's first half, for a caller that renames later: `text` in `aside`, created afresh
// with `mode`, durable if asked. 0, or the errno of the step that failed; `aside` is then gone.
int writeAsideAt(int directory_fd, const char* aside, std::string_view text, mode_t mode, bool durable);
