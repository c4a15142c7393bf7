// What the process arranges before a command touches any file: standard descriptors that cannot
// be taken over, and the signal dispositions every command relies on.
#pragma once

#include <sys/types.h>

namespace vurn {

// Fills closed standard descriptors with placeholders; ignores SIGPIPE and SIGXFSZ, so a broken
// pipe or a file-size limit is a write error; and, unless they were ignored at start (as under
// nohup), makes SIGINT, SIGTERM and SIGHUP end the compressor child and remove pending temporary
// files before the process ends by the signal.
void prepare_process();

// The compressor child a terminating signal must end first; -1 for none.
void watch_child(pid_t pid);

// In a freshly forked child: this process's termination handlers are not the child's business.
void drop_termination_handlers();

}  // namespace vurn
