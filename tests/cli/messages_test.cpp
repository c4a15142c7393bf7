#include "cli/messages.h"

#include <gtest/gtest.h>

#include <string>

namespace vurn {
namespace {

// A stored key name reaches the terminal only through printable: no byte of it may start a
// control sequence, and names in any script stay readable.
TEST(Messages, PrintableEscapesControlsAndInvalidUtf8ButNotText) {
  const struct {
    std::string name;
    std::string shown;
  } cases[] = {
      {"keys/a.key", "keys/a.key"},
      {std::string("\0\t\033[2J\177", 7), "\\000\\011\\033[2J\\177"},
      {"\xC2\x9B"
       "31m",
       "\\302\\2333"
       "1m"},                                                    // C1 CSI as UTF-8
      {"\x9B\x80\x9F", "\\233\\200\\237"},                       // C1 as lone bytes
      {"\xD0\x9F\xD1\x80\xD0\xB8", "\xD0\x9F\xD1\x80\xD0\xB8"},  // Cyrillic, continuation 0x9F
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91"},
      {"\xC2\xA0\xC2\xBF", "\xC2\xA0\xC2\xBF"},      // the first characters past the C1 range
      {"\xC0\xAF", "\\300\\257"},                    // overlong
      {"\xED\xA0\x80", "\\355\\240\\200"},           // surrogate
      {"\xF4\x90\x80\x80", "\\364\\220\\200\\200"},  // past U+10FFFF
      {"a\xE2\x82", "a\\342\\202"},                  // cut short at the end
      {"\xE2\x82z", "\\342\\202z"},                  // cut short by an ASCII byte
      {"\xFF\xFE", "\\377\\376"},
  };
  for (const auto& c : cases) EXPECT_EQ(printable(c.name), c.shown) << c.shown;
}

}  // namespace
}  // namespace vurn
