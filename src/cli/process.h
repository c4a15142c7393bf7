// What the process arranges before a command touches any file: standard descriptors that cannot
// be taken over, and the signal dispositions every command relies on.
#pragma once

namespace vurn {

// Fills closed standard descriptors with placeholders; ignores SIGPIPE and SIGXFSZ, so a broken
// pipe or a file-size limit is a write error; and, unless they were ignored at start (as under
// nohup), makes SIGINT, SIGTERM and SIGHUP end the compressor children and remove pending
// temporary files before the process ends by the signal.
void prepare_process();

}  // namespace vurn
