// What the process arranges before a command touches any file: standard descriptors that cannot
// be taken over, and the signal dispositions every command relies on.
#pragma once

#include <sys/types.h>

namespace vurn {

// Fills closed standard descriptors with placeholders; ignores SIGPIPE and SIGXFSZ, so a broken
// pipe or a file-size limit is a write error; and, unless they were ignored at start (as under
// nohup), makes SIGINT, SIGTERM and SIGHUP end the compressor children and remove pending
// temporary files before the process ends by the signal.
void prepare_process();

// Forks a child that a terminating signal ends first, as fork() does otherwise. The signals are
// held off until the parent knows the child, and the child runs with the default handlers. Up to
// 32 children are watched at once; beyond that the fork fails with EAGAIN (-1, errno set).
pid_t fork_watched_child();

// The child pid has ended: a signal has no such child to end any more.
void forget_child(pid_t pid);

}  // namespace vurn
