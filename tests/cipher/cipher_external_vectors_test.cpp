// The NIST SP 800-38A examples, the NIST CAVP AESAVS response files and the Wycheproof
// AES-CBC-PKCS5 cases (tests/vectors; their sources are in tests/vectors/SOURCES.md).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cipher_test_support.h"

namespace vurn::test {
namespace {

namespace fs = std::filesystem;

const fs::path vector_folder = VURN_TEST_VECTORS;

class CipherExternalVectors : public impl_test {};

// The mode a CAVP file name or an SP 800-38A MODE field starts with.
int mode_of(const std::string& name) {
  if (name.rfind("ECB", 0) == 0) return CIPHER_MODE_ECB;
  if (name.rfind("CBC", 0) == 0) return CIPHER_MODE_CBC;
  if (name.rfind("CFB1", 0) == 0) return CIPHER_MODE_CFB1;
  return 0;
}

// Runs one record through the block routines in its direction; `suffix` ends the names of the
// fields holding bit strings where a file also holds the octets.
void expect_record(int mode, bool encrypting, const vector_record& r, const std::string& where,
                   const std::string& suffix = "") {
  const std::string in = r[(encrypting ? "PLAINTEXT" : "CIPHERTEXT") + suffix];
  ASSERT_FALSE(in.empty()) << where;
  EXPECT_EQ(run_blocks(mode, encrypting, r["KEY"], r["IV"], in),
            r[(encrypting ? "CIPHERTEXT" : "PLAINTEXT") + suffix])
      << where;
}

// The SP 800-38A examples of ECB, CBC and CFB-1, and the CAVP known-answer (GFSbox, KeySbox,
// VarKey, VarTxt) and multi-block files, both directions.
TEST_P(CipherExternalVectors, Sp80038aAndCavpKnownAnswerAndMultiBlock) {
  const auto examples = read_vector_file((vector_folder / "sp800_38a_appendix_f.txt").string());
  ASSERT_EQ(examples.size(), 18u);
  for (const auto& r : examples) {
    expect_record(mode_of(r["MODE"]), r["DIRECTION"] == "ENCRYPT", r, r.section,
                  r["MODE"] == "CFB1" ? "_BITS" : "");
  }
  int files = 0, records = 0;
  for (const auto& entry : fs::directory_iterator(vector_folder / "cavp")) {
    const std::string name = entry.path().filename().string();
    const int mode = mode_of(name);
    if (entry.path().extension() != ".rsp" || mode == 0) continue;
    ++files;
    for (const auto& r : read_vector_file(entry.path().string())) {
      expect_record(mode, r.section == "ENCRYPT", r,
                    name + " " + r.section + " COUNT = " + r["COUNT"]);
      ++records;
    }
  }
  EXPECT_EQ(files, 45);
  EXPECT_EQ(records, 6414);
}

// ECB Monte Carlo: each record's output is the 1000th of a chain of encryptions (or decryptions)
// starting from its input.
TEST_P(CipherExternalVectors, CavpEcbMonteCarlo) {
  int records = 0;
  for (const char* file : {"ECBMCT128.rsp", "ECBMCT192.rsp", "ECBMCT256.rsp"}) {
    for (const auto& r : read_vector_file((vector_folder / "cavp" / "mct" / file).string())) {
      const bool encrypting = r.section == "ENCRYPT";
      const cipher_setup s = make_setup(CIPHER_MODE_ECB, encrypting, r["KEY"]);
      bytes text = from_hex(r[encrypting ? "PLAINTEXT" : "CIPHERTEXT"]);
      for (int i = 0; i < 1000; ++i) {
        (encrypting ? encrypt_blocks : decrypt_blocks)(&s.mode, &s.key, text.data(), 128,
                                                       text.data());
      }
      EXPECT_EQ(to_hex(text), r[encrypting ? "CIPHERTEXT" : "PLAINTEXT"])
          << file << " " << r.section << " COUNT = " << r["COUNT"];
      ++records;
    }
  }
  EXPECT_EQ(records, 600);
}

// The value of "name": "value" in one test object of the Wycheproof file.
std::string json_string(const std::string& object, const std::string& name) {
  const auto key = object.find("\"" + name + "\"");
  if (key == std::string::npos) return "";
  const auto open = object.find('"', object.find(':', key) + 1);
  return object.substr(open + 1, object.find('"', open + 1) - open - 1);
}

// Valid cases encrypt to their ciphertext and decrypt back; invalid ones are refused. An empty
// message pads to nothing here, so its encryption is 0 octets, though its ciphertext (one block of
// padding) still decrypts to nothing.
TEST_P(CipherExternalVectors, WycheproofCbcPkcs5) {
  std::ifstream file(vector_folder / "wycheproof_aes_cbc_pkcs5_test.json");
  ASSERT_TRUE(file) << "cannot read the Wycheproof file";
  std::stringstream text;
  text << file.rdbuf();
  const std::string json = text.str();
  int cases = 0;
  for (auto at = json.find("\"tcId\""); at != std::string::npos;
       at = json.find("\"tcId\"", at + 1)) {
    const std::string object = json.substr(at, json.find('}', at) - at);
    const std::string id = "tcId " + object.substr(7, object.find(',') - 7);
    const std::string key = json_string(object, "key"), iv = json_string(object, "iv");
    const bytes msg = from_hex(json_string(object, "msg")),
                ct = from_hex(json_string(object, "ct"));
    const int ct_octets = static_cast<int>(ct.size());
    ++cases;

    const cipher_setup dec = make_setup(CIPHER_MODE_CBC, false, key, iv);
    bytes out(ct.size() + 16);
    const int plain_octets = decrypt_padded(&dec.mode, &dec.key, ct.data(), ct_octets, out.data());
    if (json_string(object, "result") != "valid") {
      EXPECT_EQ(plain_octets, ct.empty() ? 0 : ERR_PADDING) << id;
      continue;
    }
    ASSERT_EQ(plain_octets, static_cast<int>(msg.size())) << id;
    EXPECT_EQ(bytes(out.begin(), out.begin() + plain_octets), msg) << id;

    const cipher_setup enc = make_setup(CIPHER_MODE_CBC, true, key, iv);
    out.assign(msg.size() + 16, 0);
    const int octets =
        encrypt_padded(&enc.mode, &enc.key, msg.data(), static_cast<int>(msg.size()), out.data());
    if (msg.empty()) {
      EXPECT_EQ(octets, 0) << id;
    } else {
      ASSERT_EQ(octets, ct_octets) << id;
      EXPECT_EQ(bytes(out.begin(), out.begin() + octets), ct) << id;
    }
  }
  EXPECT_EQ(cases, 216);
}

INSTANTIATE_TEST_SUITE_P(Impl, CipherExternalVectors, testing::ValuesIn(all_aes_impls()),
                         impl_name);

}  // namespace
}  // namespace vurn::test
