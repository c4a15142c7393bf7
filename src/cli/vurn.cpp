#include "cli/vurn.h"

#include "cli/commands.h"
#include "cli/make_key.h"
#include "cli/messages.h"
#include "cli/options.h"
#include "cli/process.h"

namespace vurn {
namespace {

constexpr const char* VERSION = "1.02";

int run(const command_line& line) {
  switch (line.what) {
    case command::help:
      say(text::HELP);
      return 0;
    case command::version:
      say(text::VERSION, VERSION);
      return 0;
    case command::none:
      say(text::NO_COMMAND);
      say(text::HELP);
      return 1;
    case command::make_key:
    case command::encrypt:
    case command::decrypt:
      break;
  }
  prepare_process();  // every command from here on writes files
  switch (line.what) {
    case command::make_key:
      return run_make_key(line.with);
    case command::encrypt:
      return run_encrypt(line.with);
    default:
      return run_decrypt(line.with);
  }
}

}  // namespace

int run_vurn(int argc, char* argv[]) {
  if (argc == 1) {
    say(text::MISSING_OPTIONS);
    return 1;
  }
  set_program_name(argv[0]);
  const parse_result parsed = parse_options(argc, argv);
  if (parsed.exit_status) return *parsed.exit_status;
  return run(parsed.line);
}

}  // namespace vurn
