#include "ringsvc/dlcmpkt.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/pf.h"
#include "ring/orb.h"
#include "support/hostid.h"
#include "testkit/testkit.h"

namespace {

// Digests computed outside this code base: MD5 of the signed part followed by the key
// bytes 7c 3e 91 d4 05 b8 a2 6f.
const char kAbcSig[] = "380747d2dc71ba186d955b06c07af13a";          // "abc\n"
const char kAbcOtherKeySig[] = "faa903dd8ca68e8deff11dad8fe0609d";  // key ending 6e
const char kAbcNoKeySig[] = "0bee89b07a248e27c83fc3d5951213c1";     // no key at all
const char kPingtSig[] = "59a72f2a3be9bfeffe77bf9afee92ca6";        // "command\tpingt\n"

// A packet laid out by hand: four 16-bit words, most significant byte first, then body.
std::string words(unsigned w0, unsigned w1, unsigned w2, unsigned w3, const std::string &body) {
  std::string p;
  for (unsigned w : {w0, w1, w2, w3}) {
    p += static_cast<char>(w >> 8);
    p += static_cast<char>(w & 0xff);
  }
  return p + body;
}
// A well-formed dlcm packet of `text`.
std::string dlcm(const std::string &text) {
  return words(0, static_cast<unsigned>(text.size() + 1), 3, 3, text + std::string(1, '\0'));
}

struct Read {
  int rc;
  std::string target;
  Pf *request;
  int verified;
};
Read read_cmd(const std::string &src, const std::string &packet) {
  Read r;
  char target[DLCM_TARGET_SIZE] = "untouched";
  r.rc = orbpkt2cmdpf(src.c_str(), packet.data(), static_cast<int>(packet.size()), target,
                      &r.request, &r.verified);
  r.target = target;
  return r;
}

int fake_forward(const char *, unsigned *address, std::string *official) {
  *address = htonl(0x7f000005);
  *official = "testhost.example";
  return 0;
}
int fake_reverse(unsigned, std::string *) { return -1; }
const HostResolver kResolver = {fake_forward, fake_reverse};

class Dlcm : public ::testing::Test {
 protected:
  void SetUp() override {
    hostid_set_resolver(&kResolver);
    hostid_reset();
    char name[HOSTID_NAME_SIZE];
    my_username(name);
    user_ = name;
  }
  void TearDown() override {
    hostid_set_resolver(nullptr);
    hostid_reset();
    elog_clear_register(0);
  }
  std::string user_;
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// True when `line` is `prefix` followed by digits, a point and one digit.
bool one_decimal(const std::string &line, const std::string &prefix) {
  if (line.compare(0, prefix.size(), prefix) != 0) return false;
  std::string v = line.substr(prefix.size());
  size_t dot = v.find('.');
  return dot != std::string::npos && dot > 0 && dot + 2 == v.size() &&
         v.find_first_not_of("0123456789.") == std::string::npos &&
         v.find('.', dot + 1) == std::string::npos;
}

TEST(Mdcompute, KnownDigestsAndPiecesConcatenate) {
  EXPECT_STREQ(mdcompute({}).hex, "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_STREQ(mdcompute({{"abc", 3}}).hex, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_STREQ(mdcompute({{"a", 1}, {"", 0}, {"bc", 2}}).hex, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_STREQ(mdcompute({{"abc\n", 4}, {pktbts, 8}}).hex, kAbcSig);
}

TEST(Mdcompute, CommandKeyBytes) {
  const unsigned char want[9] = {0x7c, 0x3e, 0x91, 0xd4, 0x05, 0xb8, 0xa2, 0x6f, 0};
  EXPECT_EQ(memcmp(pktbts, want, 9), 0);
}

TEST(DlcmEncode, LayoutAndLengthLimit) {
  std::vector<char> p;
  ASSERT_EQ(dlcm_encode(std::string(100, 'x'), &p), 0);
  ASSERT_EQ(p.size(), 109u);
  EXPECT_EQ(std::string(p.data(), 8), words(0, 101, 3, 3, ""));
  EXPECT_EQ(p[108], '\0');

  ASSERT_EQ(dlcm_encode(std::string(DLCM_TEXT_MAX, 'y'), &p), 0);
  EXPECT_EQ(p.size(), 65535u);
  EXPECT_EQ(std::string(p.data(), 8), words(0, 65527, 3, 3, ""));
  std::string text;
  EXPECT_EQ(dlcm_decode(p.data(), static_cast<int>(p.size()), &text), 1);
  EXPECT_EQ(text.size(), static_cast<size_t>(DLCM_TEXT_MAX));

  EXPECT_EQ(dlcm_encode(std::string(DLCM_TEXT_MAX + 1, 'y'), &p), -1);
  elog_clear_register(0);
}

TEST_F(Dlcm, PacketsThatAreNotCommands) {
  const std::string good = dlcm("command x\n");
  struct Case {
    const char *why;
    std::string src, packet;
  } cases[] = {
      {"name shorter than the suffix", "pf/dlcm", good},
      {"name with a letter after the suffix", "xyz/pf/dlcmx", good},
      {"name with another suffix", "xyz/pf/dlcx", good},
      {"name longer than a source name", std::string(56, 'a') + "/pf/dlcm", good},
      {"7 bytes", "xyz/pf/dlcm", good.substr(0, 7)},
      {"type words 3, 4", "xyz/pf/dlcm", words(0, 11, 3, 4, "command x\n" + std::string(1, '\0'))},
      {"type words 4, 3", "xyz/pf/dlcm", words(0, 11, 4, 3, "command x\n" + std::string(1, '\0'))},
  };
  for (const Case &c : cases) {
    Read r = read_cmd(c.src, c.packet);
    EXPECT_EQ(r.rc, 0) << c.why;
    EXPECT_EQ(r.request, nullptr) << c.why;
    EXPECT_EQ(r.verified, 0) << c.why;
    EXPECT_EQ(r.target, "") << c.why;
    pffree(r.request);
  }
}

TEST_F(Dlcm, DamagedPacketsAreRefused) {
  const std::string t = "command x\n";
  struct Case {
    const char *why;
    std::string packet;
  } cases[] = {
      {"extra header length", words(1, 11, 3, 3, t + '\0')},
      {"text length 0", words(0, 0, 3, 3, t + '\0')},
      {"text length past the end", words(0, 12, 3, 3, t + '\0')},
      {"text length far past the end", words(0, 65535, 3, 3, t + '\0')},
      {"no NUL within the text", words(0, 10, 3, 3, t + '\0')},
      {"no NUL at all", words(0, 10, 3, 3, t)},
      {"text that does not compile", dlcm("x &Arr{\n")},
  };
  for (const Case &c : cases) {
    ElogCapture cap;
    Read r = read_cmd("q1/pf/dlcm", c.packet);
    EXPECT_EQ(r.rc, -1) << c.why;
    EXPECT_EQ(r.request, nullptr) << c.why;
    EXPECT_EQ(r.verified, 0) << c.why;
    std::vector<std::string> msgs = take_registered_list();
    EXPECT_GT(msgs.size(), 0u) << c.why;
    bool named = false;
    for (const std::string &m : msgs) named |= m.rfind("orbpkt2cmdpf: ", 0) == 0;
    EXPECT_TRUE(named) << c.why;
  }
}

TEST_F(Dlcm, TargetsFromTheSourceName) {
  Read r = read_cmd("/pf/dlcm", dlcm("command x\n"));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.target, "");
  EXPECT_NE(r.request, nullptr);
  pffree(r.request);
  r = read_cmd("xyz/pf/dlcm", dlcm("command x\n"));
  EXPECT_EQ(r.target, "xyz");
  EXPECT_NE(r.request, nullptr);
  pffree(r.request);
}

TEST_F(Dlcm, SignatureChecks) {
  const std::string sig = kAbcSig;
  std::string upper = sig;
  for (char &c : upper) c = static_cast<char>(toupper(c));
  struct Case {
    const char *why;
    std::string packet;
    int verified;
  } cases[] = {
      {"right digits", dlcm("dsig " + sig + "\nabc\n"), 1},
      {"bytes after the text's NUL", dlcm("dsig " + sig + "\nabc\n") + "trailing", 1},
      {"characters after the 32nd", dlcm("dsig " + sig + "zz\nabc\n"), 1},
      {"upper-case digits", dlcm("dsig " + upper + "\nabc\n"), 0},
      {"another key", dlcm("dsig " + std::string(kAbcOtherKeySig) + "\nabc\n"), 0},
      {"no key", dlcm("dsig " + std::string(kAbcNoKeySig) + "\nabc\n"), 0},
      {"31 digits", dlcm("dsig " + sig.substr(0, 31) + "\nabc\n"), 0},
      {"signed text changed", dlcm("dsig " + sig + "\nabd\n"), 0},
      {"text without a newline", dlcm("dsig " + sig), 0},
      {"no dsig", dlcm("abc\n"), 0},
  };
  for (const Case &c : cases) {
    Read r = read_cmd("q1/pf/dlcm", c.packet);
    EXPECT_EQ(r.rc, 0) << c.why;
    EXPECT_NE(r.request, nullptr) << c.why;
    EXPECT_EQ(r.verified, c.verified) << c.why;
    pffree(r.request);
    EXPECT_EQ(elog_clear_register(0), 0) << c.why << ": left a message registered";
  }
}

TEST_F(Dlcm, Pfcmdstring2orbWritesTheSignedPacket) {
  TempDir dir;
  std::string ring = dir.file("cmd.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  int w = orbopen(ring.c_str(), "w");
  ASSERT_GE(w, 0);
  ASSERT_EQ(pfcmdstring2orb("command\tpingt\n", "q1/pf/dlcm", w), 0);

  std::string text = "dsig " + std::string(kPingtSig) + "\ncommand\tpingt\n";
  int pktid, nbytes = 0, bufsize = 0;
  double time;
  char src[ORBSRCNAME_SIZE];
  char *buf = nullptr;
  ASSERT_EQ(orbget(w, ORBNEWEST, &pktid, src, &time, &buf, &nbytes, &bufsize), 0);
  EXPECT_STREQ(src, "q1/pf/dlcm");
  EXPECT_EQ(std::string(buf, static_cast<size_t>(nbytes)), dlcm(text));
  Read r = read_cmd(src, std::string(buf, static_cast<size_t>(nbytes)));
  EXPECT_EQ(r.verified, 1);
  EXPECT_STREQ(pfget_string(r.request, "command"), "pingt");
  pffree(r.request);

  // The longest text that fits: the packet is 65535 bytes, its length word 65527.
  const size_t room = DLCM_TEXT_MAX - 38;  // "dsig " + 32 digits + newline
  std::string longest = "a " + std::string(room - 3, 'x') + "\n";
  ASSERT_EQ(pfcmdstring2orb(longest.c_str(), "q1/pf/dlcm", w), 0);
  ASSERT_EQ(orbget(w, ORBNEWEST, &pktid, src, &time, &buf, &nbytes, &bufsize), 0);
  EXPECT_EQ(nbytes, 65535);
  r = read_cmd(src, std::string(buf, static_cast<size_t>(nbytes)));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.verified, 1);
  pffree(r.request);
  free(buf);

  std::string too_long = "a " + std::string(room - 2, 'x') + "\n";
  EXPECT_EQ(pfcmdstring2orb(too_long.c_str(), "q1/pf/dlcm", w), -1);
  EXPECT_EQ(pfcmdstring2orb("x &Arr{\n", "q1/pf/dlcm", w), -1);
  int ro = orbopen(ring.c_str(), "r");
  EXPECT_EQ(pfcmdstring2orb("command x\n", "q1/pf/dlcm", ro), -1);
  elog_clear_register(0);
  orbclose(ro);
  orbclose(w);
}

TEST_F(Dlcm, InitcmdText) {
  std::string seq, text;
  ASSERT_EQ(initcmd("getstatus -force", "me/pf/rsp", "q.*", "q330", "dl1|dl2", 1.5, &seq, &text),
            0);
  std::vector<std::string> lines = lines_of(text);
  ASSERT_EQ(lines.size(), 11u) << text;
  EXPECT_EQ(lines[0], "command\tgetstatus -force");
  EXPECT_TRUE(one_decimal(lines[1], "cmdtime ")) << lines[1];
  EXPECT_EQ(lines[2], "username " + user_);
  EXPECT_EQ(lines[3], "hostname testhost.example");
  EXPECT_EQ(lines[4], "ip 127.0.0.5");
  EXPECT_EQ(lines[5], "sequence " + seq);
  EXPECT_EQ(lines[6], "reply me/pf/rsp");
  EXPECT_EQ(lines[7], "targets q.*");
  EXPECT_EQ(lines[8], "types q330");
  EXPECT_EQ(lines[9], "dlnames dl1|dl2");
  EXPECT_EQ(lines[10], "delayhangup 1.50");
  EXPECT_EQ(text.back(), '\n');
  std::string pid = std::to_string(getpid());
  std::string stem = "dl1|dl2_testhost.example_" + pid + "_";
  ASSERT_EQ(seq.substr(0, stem.size()), stem);
  ASSERT_GT(seq.size(), stem.size());
  ASSERT_EQ(seq.find_first_not_of("0123456789", stem.size()), std::string::npos) << seq;
  int first = std::stoi(seq.substr(stem.size()));

  // Without the optional keys; the counter rises by one per command.
  ASSERT_EQ(initcmd("pingt", nullptr, nullptr, nullptr, nullptr, 0, &seq, &text), 0);
  EXPECT_EQ(seq, "testhost.example_" + pid + "_" + std::to_string(first + 1));
  lines = lines_of(text);
  ASSERT_EQ(lines.size(), 7u) << text;
  EXPECT_EQ(lines[5], "sequence " + seq);
  EXPECT_EQ(lines[6], "delayhangup 0.00");

  // The text reads back as a parameter file with the same values.
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile(text.c_str(), &pf), 0);
  EXPECT_STREQ(pfget_string(pf, "command"), "pingt");
  EXPECT_STREQ(pfget_string(pf, "sequence"), seq.c_str());
  pffree(pf);
}

TEST_F(Dlcm, InitcmdRefusesLineBreaks) {
  std::string seq, text;
  for (const char *cmd : {"quit\nreply x", "a\rb", "a\x01"}) {
    EXPECT_EQ(initcmd(cmd, nullptr, nullptr, nullptr, nullptr, 0, &seq, &text), -1);
  }
  EXPECT_EQ(initcmd("start", nullptr, nullptr, nullptr, "dl\n", 0, &seq, &text), -1);
  EXPECT_EQ(initcmd("set key\tvalue", nullptr, nullptr, nullptr, nullptr, 0, &seq, &text), 0);
  elog_clear_register(0);
}

Pf *request(const char *text) {
  Pf *pf = nullptr;
  EXPECT_EQ(pfcompile(text, &pf), 0) << text;
  return pf;
}

TEST_F(Dlcm, InitrspWithoutReplyBuildsNothing) {
  Pf *req = request("command start\nsequence s1\n");
  std::string reply = "old", text = "old";
  EXPECT_EQ(initrsp("start", "q1", "q330", nullptr, nullptr, nullptr, req, 1, nullptr, nullptr,
                    nullptr, nullptr, "done", &reply, &text),
            0);
  EXPECT_EQ(reply, "");
  EXPECT_EQ(text, "");
  pffree(req);
}

TEST_F(Dlcm, InitrspTextAndCaches) {
  Pf *req = request("command start\nsequence s1\nreply me/pf/rsp\n");
  char *username = nullptr, *hostname = nullptr, *ip = nullptr, *seqt = nullptr;
  std::string reply, text;
  ASSERT_EQ(initrsp("start", "q1", "q330", "dl1", "0100000A", "tcp", req, 3, &username, &hostname,
                    &ip, &seqt, "donedl", &reply, &text),
            1);
  std::string pid = std::to_string(getpid());
  EXPECT_EQ(reply, "me/pf/rsp");
  EXPECT_EQ(text,
            "command start\n"
            "sequence s1\n"
            "sequence_target testhost.example_" +
                pid +
                "_3\n"
                "target q1\n"
                "type q330\n"
                "tusername " +
                user_ +
                "\n"
                "thostname testhost.example\n"
                "tip 127.0.0.5\n"
                "tpid " +
                pid +
                "\n"
                "dlname dl1\n"
                "dlserial 0100000A\n"
                "dlcom tcp\n"
                "disposition donedl\n");
  ASSERT_NE(username, nullptr);
  EXPECT_EQ(user_, username);
  EXPECT_STREQ(hostname, "testhost.example");
  EXPECT_STREQ(ip, "127.0.0.5");
  EXPECT_EQ(seqt, "testhost.example_" + pid + "_3");

  // Set caches are used as they are; optional keys are left out.
  free(username);
  free(hostname);
  free(ip);
  free(seqt);
  username = strdup("cached_user");
  hostname = strdup("cached_host");
  ip = strdup("10.0.0.1");
  seqt = strdup("cached_seq");
  ASSERT_EQ(initrsp("start", "q1", "q330", nullptr, nullptr, nullptr, req, 9, &username, &hostname,
                    &ip, &seqt, nullptr, &reply, &text),
            1);
  EXPECT_EQ(text,
            "command start\nsequence s1\nsequence_target cached_seq\ntarget q1\n"
            "type q330\ntusername cached_user\nthostname cached_host\ntip 10.0.0.1\n"
            "tpid " +
                pid + "\n");
  free(username);
  free(hostname);
  free(ip);
  free(seqt);
  pffree(req);
}

TEST_F(Dlcm, InitrspRefusals) {
  struct Case {
    const char *why;
    const char *request;
    const char *dlname;
    const char *message;
  } cases[] = {
      {"no sequence", "reply me/pf/rsp\n", nullptr, "initrsp: parse_param(sequence) error."},
      {"reply not a text", "reply &Arr{\n}\nsequence s\n", nullptr,
       "initrsp: parse_param(reply) error."},
      {"empty reply", "reply \"\"\nsequence s\n", nullptr, "initrsp: reply"},
      {"reply too long", nullptr, nullptr, "initrsp: reply"},
      {"line break in a value", "reply me/pf/rsp\nsequence s\n", "dl\nx",
       "initrsp: dlname value holds"},
  };
  std::string long_reply = "reply " + std::string(64, 'r') + "\nsequence s\n";
  for (const Case &c : cases) {
    Pf *req = request(c.request ? c.request : long_reply.c_str());
    std::string reply, text;
    int mark = elog_mark();
    EXPECT_EQ(initrsp("start", "q1", "q330", c.dlname, nullptr, nullptr, req, 1, nullptr, nullptr,
                      nullptr, nullptr, "done", &reply, &text),
              -1)
        << c.why;
    std::string all = take_registered(mark);
    EXPECT_NE(all.find(c.message), std::string::npos) << c.why << ": " << all;
    elog_clear_register(0);
    pffree(req);
  }
  // 63 characters is a source name.
  Pf *req = request(("reply " + std::string(63, 'r') + "\nsequence s\n").c_str());
  std::string reply, text;
  EXPECT_EQ(initrsp("start", "q1", "q330", nullptr, nullptr, nullptr, req, 1, nullptr, nullptr,
                    nullptr, nullptr, "done", &reply, &text),
            1);
  pffree(req);
}

}  // namespace
