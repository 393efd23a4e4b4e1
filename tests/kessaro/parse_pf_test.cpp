// The parameter file of kessaro: each case is a small change appended to the example file
// (a later key replaces an earlier one) and the field values or the message it must give.
#include "parse_pf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro.h"
#include "ring/orb.h"
#include "ringsvc/orbreapthr.h"
#include "testkit/testkit.h"

namespace {

std::string example() { return read_file(KESSARO_PF); }

// A program record with the command-line orbtags "cmd" and "out" (rings in `dir`).
struct Config {
  TempDir dir;
  std::string cmdring = dir.file("cmd"), outring = dir.file("out");
  Orbtag cmd{const_cast<char *>("cmd"), cmdring.data(), nullptr, -1, -1, -1};
  Orbtag out{const_cast<char *>("out"), outring.data(), nullptr, -1, -1, -1};
  Kessaro *k = kessaro_new();
  std::vector<std::string> messages;
  Config() {
    orbcreate(cmdring.c_str(), 1 << 20);
    orbcreate(outring.c_str(), 1 << 20);
    k->targetname = const_cast<char *>("demo");
    setarr(k->orbtags_arr, "cmd", &cmd);
    setarr(k->orbtags_arr, "out", &out);
  }
  ~Config() { parse_pf_release(k); }
  // parse_pf_tree over the example with `extra` appended.
  int parse(const std::string &extra) {
    Pf *pf = nullptr;
    if (pfcompile((example() + "\n" + extra).c_str(), &pf) != 0) return -2;
    int rc = parse_pf_tree(pf, k);
    messages = take_registered_list();
    return rc;
  }
  bool said(const std::string &text) const {
    for (const auto &m : messages) {
      if (m.find(text) != std::string::npos) return true;
    }
    return false;
  }
  AltusDatalogger *dl(const char *serial) {
    return static_cast<AltusDatalogger *>(getarr(k->dlserials_array, serial));
  }
  Modem *link(const char *name) { return static_cast<Modem *>(getarr(k->modems_array, name)); }
};

std::string lines(const char *key, const std::string &body) {
  return std::string(key) + " &Tbl{\n" + body + "\n}\n";
}

TEST(ParsePf, ExampleFileParsesAndItsPocSourceRuns) {
  Config s;
  Pf *pf = nullptr;
  ASSERT_EQ(0, parse_pf(KESSARO_PF, nullptr, s.k)) << take_registered();
  pf = s.k->pf;
  ASSERT_NE(pf, nullptr);
  EXPECT_EQ(s.k->cmd, &s.cmd);
  EXPECT_STREQ(s.k->cmd_srcname, ".*/pf/dlcm");
  EXPECT_STREQ(s.k->log_srcname, "demo/log");
  EXPECT_STREQ(s.k->status_srcname, "demo/pf/st");
  EXPECT_STREQ(s.k->evtinfo_srcname, "demo/pf/evtinfo");
  EXPECT_STREQ(s.k->connect_listen_string, "RING\r\n");

  Modem *tcp1 = s.link("tcp1"), *srv1 = s.link("srv1");
  ASSERT_TRUE(tcp1 && srv1);
  EXPECT_EQ(tcp1->com_mode, 2);
  EXPECT_STREQ(tcp1->ipaddr, "127.0.0.1");
  EXPECT_EQ(tcp1->port, 5001);
  EXPECT_EQ(tcp1->maxtries, 5);  // from its template
  EXPECT_EQ(tcp1->timeout_connect, 120.0);
  EXPECT_EQ(srv1->com_mode, 3);
  EXPECT_EQ(srv1->port, 5002);
  EXPECT_EQ(srv1->dialin, 1);
  EXPECT_EQ(srv1->dialout, 0);
  EXPECT_STREQ(srv1->connect_response_string, "CONNECT\r\n");

  AltusDatalogger *k2 = s.dl("K1234"), *et = s.dl("E5678");
  ASSERT_TRUE(k2 && et);
  EXPECT_EQ(k2->dialout, 1);
  ASSERT_EQ(maxtbl(k2->dialout_modems), 1);
  EXPECT_EQ(gettbl(k2->dialout_modems, 0), tcp1);
  EXPECT_EQ(k2->auto_stream, 1);
  EXPECT_STREQ(et->target_name, "XX_5678");
  EXPECT_STREQ(et->model, "Etna");
  EXPECT_EQ(et->dialin, 1);
  EXPECT_EQ(et->dialout, 0);
  EXPECT_EQ(getarr(s.k->dltargets_array, "K2_1234"), k2);
  // Streams only where the template asks for them; event channels on both.
  EXPECT_EQ(k2->data_chan[1][2].outputthischan, 1);
  EXPECT_EQ(et->data_chan[1][0].outputthischan, 0);
  EXPECT_STREQ(et->data_chan[0][2].srcname, "XX_5678_HNE/GENC");
  EXPECT_EQ(getarr(s.k->data_orbtags_arr, "out"), &s.out);

  // The point-of-contact source reads its own ring through a running worker.
  ASSERT_EQ(maxtbl(s.k->pocds_tbl), 1);
  auto *pocd = static_cast<POCDaemon *>(gettbl(s.k->pocds_tbl, 0));
  EXPECT_EQ(pocd->altus, s.k);
  EXPECT_EQ(std::string(pocd->label), "POC-" + s.cmdring);
  ASSERT_NE(pocd->orb, nullptr);
  EXPECT_EQ(orbreapthr_is_stopped(pocd->orb), 0);
}

// Keys nothing reads are said once each at start, naming file, key and line, with the
// known key they are a slip for; the file is still taken. The example file has none.
TEST(ParsePf, KeysNothingReadsAreWarnedWithFileAndLine) {
  {
    Config s;
    ElogCapture cap;
    ASSERT_EQ(0, parse_pf(KESSARO_PF, nullptr, s.k)) << take_registered();
    EXPECT_FALSE(cap.contains("is not read by this program")) << cap.text();
  }
  Config s;
  const std::string text = example();
  const long first = 2 + std::count(text.begin(), text.end(), '\n');
  const std::string path =
      s.dir.write("k.pf", text +
                              "\npasswrd secret\nmodem_templates &Arr{\n    patient &Arr{\n"
                              "        timeout_connect 120.0\n        maxtrise 5\n    }\n}\n");
  ElogCapture cap;
  ASSERT_EQ(0, parse_pf(path.c_str(), nullptr, s.k)) << take_registered();
  const std::string at = "parse_pf: '" + path + "' line ";
  for (const std::string &w :
       {at + std::to_string(first) +
            ": key 'passwrd' is not read by this program - ignored (a "
            "slip for 'password'?)",
        at + std::to_string(first + 4) +
            ": key 'modem_templates->patient->maxtrise' is not read by this program - ignored (a "
            "slip for 'maxtries'?)"}) {
    EXPECT_TRUE(cap.contains(w)) << w << "\n" << cap.text();
  }
  long said = 0;
  for (const std::string &l : cap.lines()) said += l.find("is not read by this program") != l.npos;
  EXPECT_EQ(said, 2) << cap.text();
}

TEST(ParsePf, CommandOrbtag) {
  struct Case {
    const char *value;
    int rc;
    bool configured;
  } cases[] = {{"none", 0, false}, {"\"\"", 0, false}, {"cmd", 0, true}, {"nosuch", -1, false}};
  for (const Case &c : cases) {
    Config s;
    EXPECT_EQ(c.rc, s.parse(std::string("cmd_orbtag ") + c.value)) << c.value;
    EXPECT_EQ(c.configured, s.k->cmd != nullptr) << c.value;
    EXPECT_EQ(c.configured, s.k->cmd_srcname != nullptr) << c.value;
    if (c.rc != 0) {
      EXPECT_TRUE(s.said("parse_pf: Cannot find cmd_orbtag 'nosuch' in command line."));
    }
  }
}

TEST(ParsePf, PacketDefinitions) {
  struct Case {
    const char *suffix, *multiplexed;
    const char *error;
  } cases[] = {
      {"GENC", "yes", "parse_pf: packet_defs->p: Cannot multiplex with GENC suffix."},
      {"MGENC", "no", nullptr},
      {"GENC", "no", nullptr},
      {"SEED", "no", "parse_pf: packet_defs->p: suffix 'SEED' not implemented."},
      {"MGENC", "maybe", "parse_pf: parse_param(packet_defs->p->multiplexed) error."},
  };
  for (const Case &c : cases) {
    Config s;
    std::string text =
        std::string("packet_defs &Arr{\np &Arr{\ndata_orbtag out\ntwin 5\nmultiplexed ") +
        c.multiplexed + "\nsuffix " + c.suffix + "\n}\n}\n" +
        "acq_matrix &Tbl{\np p\n}\ndatalogger_templates &Arr{\n}\n" +
        lines("dataloggers", "K1 - - - - - no default");
    EXPECT_EQ(c.error ? -1 : 0, s.parse(text)) << c.suffix << c.multiplexed;
    if (c.error) {
      EXPECT_TRUE(s.said(c.error)) << c.error;
    }
  }
  // A definition whose orbtag is not on the command line is refused where a channel uses it.
  Config s;
  EXPECT_EQ(
      -1, s.parse("packet_defs &Arr{\np &Arr{\ndata_orbtag gone\ntwin 5\nmultiplexed no\n"
                  "suffix GENC\n}\n}\nacq_matrix &Tbl{\np 0\n}\ndatalogger_templates &Arr{\n}\n"));
  EXPECT_TRUE(s.said(
      "parse_acqparams: packet_def 'p' has an undefined orbtag for acq_matrix at line 'p 0'."));
}

TEST(ParsePf, Links) {
  {
    Config s;
    ASSERT_EQ(
        0,
        s.parse(
            "modems &Tbl{\n# a comment line\nm1 serial local no yes default /dev/ttyS1:19200\n}\n" +
            lines("dataloggers", "")));
    Modem *m = s.link("m1");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->dialout_string_prefix, "ATDT");
    EXPECT_STREQ(m->dialout_string_suffix, "\r");
    EXPECT_STREQ(m->listen_string, "ATS0=1\r");
    EXPECT_STREQ(m->dev, "/dev/ttyS1");
    EXPECT_EQ(m->baud, 19200);
    EXPECT_EQ(m->modem_control, 1);
    EXPECT_EQ(cntarr(s.k->modems_array), 1);
  }
  struct Case {
    const char *line;
    const char *error;
  } cases[] = {
      {"m tcpclient none no yes default -:-", nullptr},
      {"m tcpclient none yes yes default -:-",
       "parse_modem: dialin not allowed for modem with undefined ip-address"},
      {"m tcpclient none no yes default 127.0.0.1:-",
       "parse_modem: port must be specified with defined ip-address"},
      {"m tcpclient none no yes default 127.0.0.1", "parse_modem: Need port number in '127.0.0.1'"},
      {"m tcpserver none no yes default x", "parse_modem: Need port number in 'x'"},
      {"m tcpclient none no yes default -:-:9", "parse_modem: Need port number in '-:-:9'"},
      {"m serial none no yes default /dev/x:fast", "parse_modem: Illegal speed in '/dev/x:fast'"},
      {"m udp none no yes default x", "parse_modem: Illegal modem->com_mode (udp)."},
      {"m serial both no yes default x", "parse_modem: Illegal modem->modem_control (both)."},
      {"m serial none no yes nosuch x",
       "parse_modem: cannot find modem template 'nosuch' for modem name 'm'"},
      {"m serial none no yes default",
       "parse_pf: cannot parse modems line 'm serial none no yes default'"},
      {"m serial none no yes default x y",
       "parse_pf: cannot parse modems line 'm serial none no yes default x y'"},
      {"m serial none no yes default x\nm serial none no yes default y",
       "parse_pf: cannot list modems name 'm' more than once"},
      // Addresses no call can reach are refused when the file is read.
      {"m tcpclient none no yes default 127.0.0.300:5001",
       "parse_modem: m: bad address '127.0.0.300' in '127.0.0.300:5001'"},
      {"m tcpclient none no yes default 10.1.2:5001",
       "parse_modem: m: bad address '10.1.2' in '10.1.2:5001'"},
      {"m tcpclient none no yes default bad_host!:5001",
       "parse_modem: m: bad address 'bad_host!' in 'bad_host!:5001'"},
      {"m tcpclient none no yes default host..example:5001",
       "parse_modem: m: bad address 'host..example' in 'host..example:5001'"},
  };
  for (const Case &c : cases) {
    Config s;
    EXPECT_EQ(c.error ? -1 : 0, s.parse(lines("modems", c.line) + lines("dataloggers", "")))
        << c.line;
    if (c.error) {
      EXPECT_TRUE(s.said(c.error)) << c.line;
    } else {
      Modem *m = s.link("m");
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->ipaddr, nullptr);
      EXPECT_EQ(m->port, -1);
      // Modem control "none" clears every modem string the template set.
      for (char *t : {m->listen_string, m->nolisten_string, m->dialout_string_prefix,
                      m->dialout_string_suffix, m->hangup_string, m->attention_string,
                      m->ring_rec_string, m->busy_rec_string, m->connect_rec_string,
                      m->offhook_rec_string, m->attention_rec_string})
        EXPECT_EQ(t, nullptr);
    }
  }
  struct KeyCase {
    const char *text;
    const char *error;
  } keys[] = {
      {"dialout_string ATDT",
       "parse_pf: Cannot find '<pn>' token in modem_defaults->dialout_string."},
      {"modem_templates &Arr{\nt &Arr{\ndialout_string X\n}\n}",
       "parse_pf: Cannot find '<pn>' token in modem_templates(t)->dialout_string."},
      {"flow xon", "parse_pf: Unknown modem_defaults->flow 'xon'."},
      {"modem_templates &Arr{\nt &Arr{\nflow xon\n}\n}",
       "parse_pf: Unknown modem_templates(t)->flow 'xon'."},
      {"baud fast", "parse_pf: parse_param(modem_defaults->baud) error."},
      {"modem_templates &Arr{\nt &Arr{\nmaxtries x\n}\n}",
       "parse_pf: parse_param(modem_templates(t)->maxtries) error."},
      {"timeout -1", "parse_pf: modem_defaults->timeout -1 is negative."},
      {"modem_templates &Arr{\nt &Arr{\ntimeout_connect -5\n}\n}",
       "parse_pf: modem_templates(t)->timeout_connect -5 is negative."},
  };
  for (const KeyCase &c : keys) {
    Config s;
    EXPECT_EQ(-1, s.parse(c.text)) << c.text;
    EXPECT_TRUE(s.said(c.error)) << c.error;
  }
}

TEST(ParsePf, ModemStringsAndBooleans) {
  struct Case {
    const char *in, *out;
  } cases[] = {{"AT<r><n>", "AT\r\n"},
               {"a<t>b<b>c<bl>d", "a\tb\bc d"},
               {"<sl=2>x", "<sl=2>x"},
               {"<<r>r>", "<\rr>"}};
  for (const Case &c : cases) {
    std::string t = c.in;
    EXPECT_EQ(0, process_modem_string(t));
    EXPECT_EQ(t, c.out) << c.in;
  }
  for (const char *no : {"0", "n", "No", "F", "FALSE"}) EXPECT_EQ(0, tobool(no)) << no;
  for (const char *yes : {"1", "yes", "-", "", "nope"}) EXPECT_EQ(1, tobool(yes)) << yes;
}

TEST(ParsePf, Substitutions) {
  TempDir dir;
  const std::string base = dir.write("base.pf", example());
  const std::string empty = dir.write("empty.pf", "");
  // A later key applies to what an earlier key inserted (keys in ascending order).
  const std::string subs = dir.write("subs.pf", "@A@ @B@\n@B@ 127.0.0.9\n");
  std::string text = example();
  text.replace(text.find("127.0.0.1:5001"), 9, "@A@");
  const std::string withsubs = dir.write("withsubs.pf", text);
  {
    Config s;
    ASSERT_EQ(0, parse_pf(base.c_str(), empty.c_str(), s.k)) << take_registered();
    EXPECT_STREQ(s.link("tcp1")->ipaddr, "127.0.0.1");
  }
  {
    Config s;
    ASSERT_EQ(0, parse_pf(withsubs.c_str(), subs.c_str(), s.k)) << take_registered();
    EXPECT_STREQ(s.link("tcp1")->ipaddr, "127.0.0.9");
  }
  {
    Config s;
    EXPECT_EQ(-1, parse_pf(base.c_str(), dir.file("missing.pf").c_str(), s.k));
    std::string said = take_registered();
    EXPECT_NE(said.find("pf_substitute: pfread("), std::string::npos) << said;
    EXPECT_NE(said.find("parse_pf: pf_substitute("), std::string::npos) << said;
  }
}

TEST(ParsePf, DataloggerLines) {
  struct Case {
    const char *line;
    const char *error;
  } cases[] = {
      {"K1234 - - - - - no default", nullptr},
      {"K12a4 - - - - - no default",
       "parse_pf: Unrecognized model serial number in 'K12a4' (model designator should be only one "
       "character)"},
      {"K - - - - - no default",
       "parse_pf: Unrecognized model serial number in 'K' (model designator should be only one "
       "character)"},
      {"K99999999999 - - - - - no default",
       "parse_pf: Unrecognized model serial number in 'K99999999999' (model designator should be "
       "only one "
       "character)"},
      {"X1234 - - - - - no default", "parse_pf: Unrecognized model character in 'X1234'"},
      {"K1234 - - - tcp1 - no default x",
       "parse_pf: cannot parse dataloggers line 'K1234 - - - tcp1 - no default x'"},
      {"K1234 - - - auto 127.0.0.1:5003 no default -", nullptr},
      {"K1234 - - - auto logger-7.example.net:5003 no default -", nullptr},
      {"K1234 - - - auto 127.0.0.300:5003 no default -",
       "parse_modem: m_K2_1234: bad address '127.0.0.300' in '127.0.0.300:5003'"},
      {"K1234 - - - auto 127.0.0.1:5003 no default - a b c",
       "parse_pf: cannot parse dataloggers line 'K1234 - - - auto 127.0.0.1:5003 no default - a b "
       "c'"},
      {"K1234 - - - auto 127.0.0.1:5003 no default - a",
       "parse_pf: cannot parse dataloggers line 'K1234 - - - auto 127.0.0.1:5003 no default - a'"},
      {"K1234 - - - auto -:- no default", "parse_pf: Need poc_name for K2_1234"},
      {"K1234 - - - auto 127.0.0.1:5003 no default - a b c d",
       "parse_pf: cannot parse dataloggers line"},
      {"K1234 - - - - - no nosuch",
       "parse_pf: cannot find datalogger template 'nosuch' for datalogger serial 'K1234'"},
      {"K1234 - - - - - no default\nK1234 - - 99 - - no default",
       "parse_pf: cannot list dataloggers serial 'K1234' more than once"},
      {"K1234 - - - - - no default\nE1 K2_1234 - - - - no default",
       "parse_pf: cannot list dataloggers target 'K2_1234' more than once"},
      {"K1234 - - - nosuch.* - no default",
       "parse_pf: no dialout modems nosuch.* defined for K1234."},
      {"K1234 - - - (tcp - no default", "parse_pf: greparr((tcp) error."},
      {"K1234 - - - (a*){5000} - no default", "parse_pf: greparr((a*){5000}) error."},
      {"K1234 - - ABCDEFGHIJKLMNOPQRST - - no default", "parse_pf: cannot parse dataloggers line"},
      {"# K1 is not here\n\nK1234 - - - - - no default", nullptr},
  };
  for (const Case &c : cases) {
    Config s;
    EXPECT_EQ(c.error ? -1 : 0, s.parse(lines("dataloggers", c.line))) << c.line;
    if (c.error) {
      EXPECT_TRUE(s.said(c.error)) << c.line << "\n" << (s.messages.empty() ? "" : s.messages[0]);
    }
  }
  {
    Config s;
    ASSERT_EQ(0, s.parse(lines("dataloggers", "K1234 - - - - - no default")));
    AltusDatalogger *dl = s.dl("K1234");
    ASSERT_NE(dl, nullptr);
    EXPECT_STREQ(dl->model, "K2");
    EXPECT_STREQ(dl->dlnet, "K2");
    EXPECT_STREQ(dl->dlsta, "1234");
    EXPECT_STREQ(dl->target_name, "K2_1234");
    EXPECT_EQ(dl->serial, 1234);
    EXPECT_EQ(dl->dialin, 0);
    EXPECT_EQ(dl->dialout, 0);
    EXPECT_EQ(dl->userdata, s.k);
  }
  {
    Config s;
    ASSERT_EQ(0, s.parse(lines("dataloggers", "R77 t1 AB S1 auto -:- yes default - pocname V77")));
    AltusDatalogger *dl = s.dl("R77");
    Modem *m = s.link("m_t1");
    ASSERT_TRUE(dl && m);
    EXPECT_STREQ(dl->model, "ROCK");
    EXPECT_EQ(dl->single_modem, m);
    EXPECT_STREQ(dl->dialout_modem, "m_t1");
    EXPECT_STREQ(dl->poc_name, "pocname");
    EXPECT_STREQ(dl->poc_value, "V77");
    EXPECT_EQ(m->com_mode, 2);
    EXPECT_EQ(m->dialout, 1);
    EXPECT_EQ(m->dialin, 0);
  }
}

TEST(ParsePf, Clamps) {
  struct Case {
    const char *text;
    int stream_timeout, max_retran, max_strbuf, order;
  } cases[] = {
      {"altus_stream_timeout 3", 7, 50, 100, 1},  {"altus_stream_timeout 0", 0, 50, 100, 1},
      {"altus_stream_timeout -5", 0, 50, 100, 1}, {"altus_stream_timeout 40000", 32767, 50, 100, 1},
      {"max_retran 1000", 30, 256, 100, 1},       {"max_strbuf 0", 30, 50, 0, 0},
  };
  for (const Case &c : cases) {
    Config s;
    ASSERT_EQ(
        0, s.parse(std::string(c.text) + "\n" + lines("dataloggers", "K1 - - - - - no default")));
    AltusDatalogger *dl = s.dl("K1");
    EXPECT_EQ(dl->stream_timeout, c.stream_timeout) << c.text;
    EXPECT_EQ(dl->max_strretranbuf, c.max_retran) << c.text;
    EXPECT_EQ(dl->max_strbuf, c.max_strbuf) << c.text;
    EXPECT_EQ(dl->strbuf != nullptr, c.max_strbuf > 0) << c.text;
    EXPECT_EQ(int(dl->order_output_data), c.order) << c.text;
  }
  struct Bad {
    const char *text, *error;
  } bad[] = {
      {"password 123456789",
       "parse_pf: datalogger_defaults->password error: '123456789' too long."},
      {"datalogger_templates &Arr{\nt &Arr{\npassword abcdefghi\n}\n}",
       "parse_pf: datalogger_templates(t)->password error: 'abcdefghi' too long."},
      {"max_strbuf 2000000000", "parse_pf: max_strbuf 2000000000 too large for K2_1"},
      {"altus_stream_timeout x",
       "parse_pf: parse_param(datalogger_defaults->stream_timeout) error."},
      {"status_interval -10", "parse_pf: kessaro->status_interval -10 is negative."},
      {"datarate_interval -0.5", "parse_pf: kessaro->datarate_interval -0.5 is negative."},
      {"request_params_interval -1",
       "parse_pf: datalogger_defaults->request_params_interval -1 is negative."},
      {"datalogger_templates &Arr{\nt &Arr{\nauto_getevents_window -60\n}\n}",
       "parse_pf: datalogger_templates(t)->auto_getevents_window -60 is negative."},
      {"evtfile_maxwaittime -600",
       "parse_pf: datalogger_defaults->evtfile_maxwaittime -600 is negative."},
  };
  for (const Bad &b : bad) {
    Config s;
    EXPECT_EQ(
        -1, s.parse(std::string(b.text) + "\n" + lines("dataloggers", "K1 - - - - - no default")));
    EXPECT_TRUE(s.said(b.error)) << b.error;
  }
  Config s;
  ASSERT_EQ(0, s.parse("password 12345678\n" + lines("dataloggers", "K1 - - - - - no default")));
  EXPECT_STREQ(s.dl("K1")->password, "12345678");
}

TEST(ParsePf, TemplatesRepeatAndInherit) {
  Config s;
  ASSERT_EQ(0, s.parse("datalogger_templates &Arr{\ndefault &Arr{\nsamprate 200\n}\n}\n" +
                       lines("dataloggers", "K1 - - - - - no default")));
  EXPECT_TRUE(
      s.said("parse_pf: WARNING - repeated datalogger template name 'default' will overwrite "
             "previous definition."));
  EXPECT_EQ(s.dl("K1")->request_samprate, 200);
  EXPECT_EQ(s.dl("K1")->data_chan[0][0].pdef != nullptr, true);  // inherited map and matrix
}

TEST(ParsePf, Channels) {
  struct Case {
    const char *text, *error;
  } cases[] = {
      {"pchan_map &Arr{\n18 A_B_C A_B_D $DATA 1 A\n}", "parse_channelparams: Illegal pchan = 18."},
      {"pchan_map &Arr{\nx A_B_C A_B_D $DATA 1 A\n}", "parse_channelparams: Illegal pchan = x."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D\n}",
       "parse_channelparams: Need calib in 'A_B_C A_B_D' for pchan 0."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D $DB 1\n}",
       "parse_channelparams: Too many arguments in 'A_B_C A_B_D $DB 1' for pchan 0."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D $DATA 1\n}",
       "parse_channelparams: Wrong number of arguments in 'A_B_C A_B_D $DATA 1' for pchan 0."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D $DATA x A\n}",
       "parse_channelparams: Wrong number of arguments in 'A_B_C A_B_D $DATA x A' for pchan 0."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D $DATA 1 AB\n}",
       "parse_channelparams: Illegal segtype code in 'A_B_C A_B_D $DATA 1 AB' for pchan 0 (code "
       "can be no more "
       "than 1 character)."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D 1.5x 1 A\n}",
       "parse_channelparams: Illegal calib in 'A_B_C A_B_D 1.5x 1 A' for pchan 0."},
      {"pchan_map &Arr{\n0 A_B_C A_B_D $DB\n}",
       "setup_output_channels: A calib database is needed for K2_1 but none was specified in the "
       "command line."},
      {"acq_matrix &Tbl{\nmux10 0\nmux10 0\nmux10 0\nmux10 0\n}",
       "setup_output_channels: netstachanloc parsing error in '' for pchan 3."},
      {"acq_matrix &Tbl{\nmux10\n}",
       "parse_acqparams: Wrong number of modes for acq_matrix line 'mux10'."},
      {"acq_matrix &Tbl{\nnope 0\n}",
       "parse_acqparams: Cannot find packet_def 'nope' for acq_matrix at line 'nope 0'."},
      {"pchan_map &Arr{\n0 ABC_B_C A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Illegal net code in 'ABC_B_C' (code can be no more than 2 "
       "characters)."},
      {"pchan_map &Arr{\n0 $X_B_C A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Illegal net substitution code in '$X_B_C'."},
      {"pchan_map &Arr{\n0 A_STATNX_C A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Illegal sta code in 'A_STATNX_C' (code can be no more than 5 "
       "characters)."},
      {"pchan_map &Arr{\n0 A_$Y_C A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Illegal sta substitution code in 'A_$Y_C'."},
      {"pchan_map &Arr{\n0 A_B_HHZZ A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Illegal chan code in 'A_B_HHZZ' (code can be no more than 3 "
       "characters)."},
      {"pchan_map &Arr{\n0 A_B_C_LOC A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Illegal loc code in 'A_B_C_LOC' (code can be no more than 2 "
       "characters)."},
      {"pchan_map &Arr{\n0 A__C A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Need sta code in 'A__C'."},
      {"pchan_map &Arr{\n0 A_B A_B_D $DATA 1 A\n}",
       "parse_netstachanloc: Need chan code in 'A_B'."},
  };
  for (const Case &c : cases) {
    Config s;
    EXPECT_EQ(-1, s.parse("acq_matrix &Tbl{\nmux10 0\n}\n" + std::string(c.text) + "\n" +
                          lines("dataloggers", "K1 - - - - - no default")))
        << c.text;
    EXPECT_TRUE(s.said(c.error)) << c.error
                                 << "\ngot: " << (s.messages.empty() ? "" : s.messages[0]);
  }
  // 19 matrix lines are too many; 18 with a blank line among them are not.
  std::string eighteen, nineteen;
  for (int i = 0; i < 18; i++) eighteen += "0 0\n";
  nineteen = eighteen + "0 0";
  {
    Config s;
    EXPECT_EQ(-1, s.parse(lines("acq_matrix", nineteen)));
    EXPECT_TRUE(s.said("parse_acqparams: Too many pchans for acq_matrix at line '0 0'."));
  }
  {
    Config s;
    EXPECT_EQ(0, s.parse(lines("acq_matrix", "\"\"\n" + eighteen)));
  }
  // With -db a $DB calibration is taken; a map entry keeps its calibration on both modes.
  Config s;
  s.k->dbname = "calib";
  ASSERT_EQ(0, s.parse("pchan_map &Arr{\n0 $DLNET_$DLSTA_HNZ_00 $DLNET_$DLSTA_HHZ $DB\n1 N_S_C "
                       "N_S_D 2.5 0.5 V\n}\n" +
                       lines("acq_matrix", "mux10 sc1\nmux10 sc1") +
                       lines("dataloggers", "K1234 - - - - - no default")));
  AltusDatalogger *dl = s.dl("K1234");
  const AltusChan &ev = dl->data_chan[0][0], &st = dl->data_chan[1][0], &st1 = dl->data_chan[1][1];
  EXPECT_STREQ(ev.netstachanloc, "K2_1234_HNZ_00");
  EXPECT_STREQ(ev.loc, "00");
  EXPECT_STREQ(ev.channel_name, "dataev:0");
  EXPECT_STREQ(st.netstachanloc, "K2_1234_HHZ");
  EXPECT_STREQ(st.srcname, "K2_1234_HHZ/GENC");
  EXPECT_STREQ(st.channel_name, "datast:0");
  EXPECT_EQ(st.getcalib, 0);
  EXPECT_EQ(st1.getcalib, 2);
  EXPECT_EQ(st1.calib, 2.5);
  EXPECT_EQ(st1.calper, 0.5);
  EXPECT_STREQ(st1.segtype, "V");
  EXPECT_EQ(dl->data_chan[0][2].outputthischan, 0);  // cleared by the new map
}

TEST(ParsePf, PacketDefinitionCopies) {
  Config s;
  ASSERT_EQ(
      0, s.parse(lines("dataloggers", "K1 - - - tcp1 - no streaming\nK2 - - - - - no streaming")));
  AltusDatalogger *a = s.dl("K1"), *b = s.dl("K2");
  auto *sc1 = static_cast<PacketDef *>(getarr(s.k->packet_defs_arr, "sc1"));
  auto *mux = static_cast<PacketDef *>(getarr(s.k->packet_defs_arr, "mux10"));
  for (AltusDatalogger *dl : {a, b}) {
    // Single-channel: one copy per channel; multiplexed: one copy per datalogger.
    EXPECT_NE(dl->data_chan[1][0].pdef, dl->data_chan[1][1].pdef);
    EXPECT_EQ(dl->data_chan[0][0].pdef, dl->data_chan[0][1].pdef);
    for (int p = 0; p < 3; p++) {
      EXPECT_NE(dl->data_chan[1][p].pdef, sc1);
      EXPECT_NE(dl->data_chan[0][p].pdef, mux);
      EXPECT_STREQ(dl->data_chan[1][p].pdef->name, "sc1");
    }
  }
  EXPECT_NE(a->data_chan[0][0].pdef, b->data_chan[0][0].pdef);
  EXPECT_STREQ(a->data_chan[1][0].srcname, "K2_1_HHZ/GENC");
  // The templates keep pointing at the shared definitions.
  auto *tmpl = static_cast<AltusDatalogger *>(getarr(s.k->datalogger_templates_arr, "streaming"));
  EXPECT_EQ(tmpl->data_chan[1][0].pdef, sc1);
}

TEST(ParsePf, PocSourceErrors) {
  struct Case {
    const char *line, *error;
  } cases[] = {
      {"cmd", "parse_pf: Unable to scan 'cmd' pocds table entry."},
      {"cmd a b", "parse_pf: Unable to scan 'cmd a b' pocds table entry."},
      {"nosuch .*", "parse_pf: Cannot find pocd_orbtag 'nosuch' in command line."},
  };
  for (const Case &c : cases) {
    Config s;
    ASSERT_EQ(0, s.parse(lines("pocds", c.line)));
    EXPECT_EQ(-1, parse_pf_pocds(s.k));
    EXPECT_NE(take_registered().find(c.error), std::string::npos) << c.error;
  }
}

}  // namespace
