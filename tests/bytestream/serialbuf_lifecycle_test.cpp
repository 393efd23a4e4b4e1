// The device record's life cycle: makers, modem texts, serial line settings and speeds,
// the state transitions of each device kind, TCP client and server connections,
// disconnect, clear and destroy.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bytestream/serialbuf.h"
#include "fixtures.h"
#include "support/hostid.h"
#include "testkit/testkit.h"

using namespace bsfix;

namespace {

Record serial_record(const std::string &dev, int baud = 9600, int flow = 0) {
  return Record(serialbuf_create_serial(dev.c_str(), baud, flow, 64, 1000, 3000, 0, 2, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
}

TEST(SerialbufMakers, EachKindStartsClosedWithItsSettings) {
  int ud1, ud2, ud3, ud4;
  auto idle = [](void *, int) { return 0; };
  auto logcb = [](void *, void *, const char *, int) { return 0; };
  auto rate = [](void *, int, int) { return 0; };
  std::string dev = "/dev/ttyS9";
  Record s(serialbuf_create_serial(dev.c_str(), 19200, 1, 8192, 4000, 7000, 10000, 2, idle, &ud1,
                                   logcb, &ud2, &ud3, rate, &ud4));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->com_mode, SERIALBUF_SERIAL);
  EXPECT_EQ(s->modem_control, SERIALBUF_MODEM_NONE);
  EXPECT_STREQ(s->dev, "/dev/ttyS9");
  EXPECT_NE(s->dev, dev.c_str());
  EXPECT_EQ(s->baud, 19200);
  EXPECT_EQ(s->flow, 1);
  EXPECT_EQ(s->size, 8192);
  EXPECT_EQ(s->timeout, 4000);
  EXPECT_EQ(s->timeout_connect, 4000);
  EXPECT_EQ(s->timeout_control, 7000);
  EXPECT_EQ(s->sleep, 10000);
  EXPECT_EQ(s->tries, 2);
  EXPECT_EQ(s->state, SERIALBUF_CLOSED);
  EXPECT_EQ(s->fd, -1);
  EXPECT_EQ(s->fdserver, -1);
  EXPECT_EQ(s->next_bad, -1);
  EXPECT_EQ(s->line_size, 256);
  EXPECT_EQ(s->line[0], 0);
  EXPECT_EQ(s->userdata1, &ud1);
  EXPECT_EQ(s->userdata2, &ud2);
  EXPECT_EQ(s->userdata3, &ud3);
  EXPECT_EQ(s->userdata4, &ud4);

  Record c(serialbuf_create_tcpclient("127.0.0.1", 5000, 100, 2000, 0, 2, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->com_mode, SERIALBUF_TCPCLIENT);
  EXPECT_STREQ(c->ipaddr, "127.0.0.1");
  EXPECT_EQ(c->port, 5000);
  EXPECT_EQ(c->sleep, 0);

  Record v(serialbuf_create_tcpserver(5001, 1024, 2000, 0, 2, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
  ASSERT_TRUE(v);
  EXPECT_EQ(v->com_mode, SERIALBUF_TCPSERVER);
  EXPECT_EQ(v->port, 5001);
  EXPECT_EQ(v->state, SERIALBUF_CLOSED);

  // A buffer of no bytes would make every device read look like end of input.
  EXPECT_EQ(serialbuf_create(0, 1000, 1000, 0, 0, 1, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            nullptr);
  EXPECT_NE(take_registered().find("serialbuf_create: invalid buffer size 0"), std::string::npos);
}

TEST(SerialbufModemControl, StoresTextsAndRefusesControlLinesOffSerial) {
  Record c(serialbuf_create_tcpclient("127.0.0.1", 1, 16, 1000, 0, 1, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_set_modem_control(c.get(), 1, 9000, "AT", "ATH", nullptr, nullptr, nullptr,
                                        nullptr, "OK", nullptr, "BUSY", nullptr, nullptr),
            -1);
  EXPECT_EQ(take_registered(),
            "serialbuf_set_modem_control: Cannot set local mode for non-serial buffer.\n");
  EXPECT_EQ(c->modem_control, SERIALBUF_MODEM_NONE);
  EXPECT_EQ(c->attention_string, nullptr);
  EXPECT_EQ(c->timeout_connect, 1000);

  ASSERT_EQ(serialbuf_set_modem_control(c.get(), 0, 9000, "AT", "ATH", "ATS0=1", "ATS0=0", "ATDT",
                                        ";", "OK", "RING", "BUSY", "CONNECT", "NO CARRIER"),
            0);
  EXPECT_EQ(c->modem_control, SERIALBUF_MODEM_REMOTE);
  EXPECT_EQ(c->timeout_connect, 9000);
  EXPECT_STREQ(c->attention_string, "AT");
  EXPECT_STREQ(c->hangup_string, "ATH");
  EXPECT_STREQ(c->listen_string, "ATS0=1");
  EXPECT_STREQ(c->nolisten_string, "ATS0=0");
  EXPECT_STREQ(c->dialout_string_prefix, "ATDT");
  EXPECT_STREQ(c->dialout_string_suffix, ";");
  EXPECT_STREQ(c->attention_rec_string, "OK");
  EXPECT_STREQ(c->ring_rec_string, "RING");
  EXPECT_STREQ(c->busy_rec_string, "BUSY");
  EXPECT_STREQ(c->connect_rec_string, "CONNECT");
  EXPECT_STREQ(c->offhook_rec_string, "NO CARRIER");
  EXPECT_EQ(c->busy_rec_string_size, 4);
  EXPECT_EQ(c->offhook_rec_string_size, 10);

  // Texts not given stay; an empty text is stored with size 0, so it is never watched.
  c->busy_rec_string_ptr = 2;
  ASSERT_EQ(serialbuf_set_modem_control(c.get(), 0, 5000, nullptr, "ATH0", nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, "", nullptr, nullptr),
            0);
  EXPECT_STREQ(c->attention_string, "AT");
  EXPECT_STREQ(c->hangup_string, "ATH0");
  EXPECT_STREQ(c->busy_rec_string, "");
  EXPECT_EQ(c->busy_rec_string_size, 0);
  EXPECT_EQ(c->busy_rec_string_ptr, 0);
  EXPECT_EQ(c->offhook_rec_string_size, 10);

  EXPECT_EQ(serialbuf_clear_modem_control(c.get()), 0);
  EXPECT_EQ(c->modem_control, SERIALBUF_MODEM_NONE);
  EXPECT_STREQ(c->hangup_string, "ATH0");

  Pty pty;
  ASSERT_TRUE(pty.ok());
  Record s = serial_record(pty.path);
  ASSERT_EQ(
      serialbuf_set_modem_control(s.get(), 1, 9000, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      0);
  EXPECT_EQ(s->modem_control, SERIALBUF_MODEM_LOCAL);
}

TEST(SerialbufSerial, BaudRateTable) {
  ClockScale fast(0.01);
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const struct {
    int baud;
    speed_t speed;
  } good[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},
              {9600, B9600},   {19200, B19200},   {38400, B38400},
              {57600, B57600}, {115200, B115200}, {230400, B230400}};
  for (const auto &g : good) {
    SCOPED_TRACE(g.baud);
    Record s = serial_record(pty.path, g.baud);
    ASSERT_EQ(serialbuf_open(s.get()), 0) << take_registered();
    EXPECT_EQ(s->state, SERIALBUF_OPEN);
    struct termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), g.speed);
    EXPECT_EQ(cfgetispeed(&t), g.speed);
  }
  for (int baud : {0, 300, 76800, 460800}) {
    SCOPED_TRACE(baud);
    Record s = serial_record(pty.path, baud);
    EXPECT_EQ(serialbuf_open(s.get()), -1);
    EXPECT_EQ(take_registered(), "serialbuf_open: invalid baudrate " + std::to_string(baud) + "\n");
    EXPECT_EQ(s->state, SERIALBUF_CLOSED);
    EXPECT_EQ(s->fd, -1);
  }
}

TEST(SerialbufSerial, LineSettingsReplaceWhatThePreviousUserLeft) {
  ClockScale fast(0.01);
  Pty pty;
  ASSERT_TRUE(pty.ok());
  FakeLines lines;
  struct termios dirty = pty.settings();
  dirty.c_cflag = (dirty.c_cflag & ~(tcflag_t)CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS | CLOCAL;
  dirty.c_lflag = ICANON | ECHO | ISIG;
  dirty.c_iflag = ICRNL | IXON;
  dirty.c_oflag = OPOST | ONLCR;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &dirty), 0);

  // Modem control lines: hang-up at open, and carrier detect honoured (no CLOCAL).
  Record s = serial_record(pty.path, 38400, 0);
  ASSERT_EQ(
      serialbuf_set_modem_control(s.get(), 1, 1000, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      0);
  ASSERT_EQ(serialbuf_open(s.get()), 0) << take_registered();
  EXPECT_EQ(lines.hangups.load(), 1);
  struct termios t = pty.settings();
  EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | CLOCAL), 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_EQ(t.c_lflag, (tcflag_t)NOFLSH);
  EXPECT_EQ(t.c_iflag, (tcflag_t)IGNBRK);
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 1);
  // Set up: blocking from here on, and not passed to programs started later.
  EXPECT_EQ(fcntl(s->fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(fcntl(s->fd, F_GETFD) & FD_CLOEXEC, 0);

  // Without control lines: local mode; flow control when asked.
  Record f = serial_record(pty.path, 38400, 1);
  ASSERT_EQ(serialbuf_open(f.get()), 0) << take_registered();
  EXPECT_EQ(lines.hangups.load(), 1);
  t = pty.settings();
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

TEST(SerialbufSerial, OpeningDoesNotTakeTheLineAsControllingTerminal) {
  ClockScale fast(0.01);
  Pty pty;
  ASSERT_TRUE(pty.ok());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A session leader without a terminal would acquire the first terminal it opens,
    // and a carrier drop on it would then hang the whole program up.
    if (setsid() < 0) _exit(2);
    SerialBuf *s = serialbuf_create_serial(pty.path.c_str(), 9600, 0, 16, 1000, 0, 0, 1, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!s || serialbuf_open(s) != 0) _exit(3);
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
    _exit(tty < 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SerialbufSerial, OpenFailuresLeaveTheRecordClosed) {
  ClockScale fast(0.01);
  Record s = serial_record("/nonexistent/ttyX");
  EXPECT_EQ(serialbuf_open(s.get()), -1);
  EXPECT_EQ(take_registered(), "serialbuf_open: open('/nonexistent/ttyX') error.\n");
  EXPECT_EQ(s->state, SERIALBUF_CLOSED);
  EXPECT_EQ(serialbuf_connect(s.get(), 0, nullptr), -1);
  EXPECT_NE(take_registered().find("serialbuf_connect: serialbuf_open() error.\n"),
            std::string::npos);

  Record bare(serialbuf_create(16, 1000, 1000, 0, 0, 1, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr));
  EXPECT_EQ(serialbuf_open(bare.get()), -1);
  EXPECT_EQ(take_registered(), "serialbuf_open: Illegal com_mode value '0'.\n");

  bare->state = 7;
  EXPECT_EQ(serialbuf_connect(bare.get(), 0, nullptr), -1);
  EXPECT_EQ(take_registered(), "serialbuf_connect: Illegal state value '7'.\n");
  EXPECT_EQ(serialbuf_disconnect(bare.get()), -1);
  EXPECT_EQ(take_registered(), "serialbuf_disconnect: Illegal state value '7'.\n");
  bare->state = SERIALBUF_CLOSED;
}

// One device kind under the state-transition table: the record, and what must happen
// on the far side before a connect can complete.
struct Kind {
  const char *name;
  std::function<Record()> make;
  std::function<void(SerialBuf *)> before_connect;
  std::function<void()> after_connect;
};

TEST(SerialbufStates, TransitionTableForEachKind) {
  ClockScale fast(0.01);
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Listener listener;
  ASSERT_GT(listener.port, 0);
  int server_port = free_port();
  // The server's client is dialled from the record's own accept wait: its idle callback
  // runs once the listener is up and a wait slice has passed empty, so the connection
  // lands in the backlog and the next slice takes it. A wait that never gets its client
  // is stopped after a bounded number of slices (connect then returns 3, not 0).
  struct Dialler {
    int port = 0;
    bool pending = false;
    int idle_calls = 0;
    std::vector<int> clients;
  } dialler;
  dialler.port = server_port;
  auto dial_when_idle = [](void *ud, int) {
    auto *d = static_cast<Dialler *>(ud);
    if (++d->idle_calls > 1000) return 3;
    if (d->pending) {
      int fd = connect_loopback(d->port);
      if (fd >= 0) {
        d->clients.push_back(fd);
        d->pending = false;
      }
    }
    return 0;
  };

  std::vector<Kind> kinds = {
      {"serial", [&] { return serial_record(pty.path); }, [](SerialBuf *) {}, [] {}},
      {"tcp client",
       [&] {
         return Record(serialbuf_create_tcpclient("127.0.0.1", listener.port, 64, 1000, 0, 2,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr));
       },
       [](SerialBuf *) {}, [] {}},
      {"tcp server",
       [&] {
         return Record(serialbuf_create_tcpserver(server_port, 64, 1000, 0, 2, dial_when_idle,
                                                  &dialler, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr));
       },
       [&](SerialBuf *) {
         dialler.pending = true;
         dialler.idle_calls = 0;
       },
       [&] { EXPECT_FALSE(dialler.pending); }},
  };

  enum Op { OPEN, CONNECT, DISCONNECT, CLOSE };
  const struct {
    Op op;
    int state;
  } steps[] = {
      {OPEN, SERIALBUF_OPEN},         {CONNECT, SERIALBUF_CONNECTED},
      {CONNECT, SERIALBUF_CONNECTED}, {DISCONNECT, SERIALBUF_OPEN},
      {DISCONNECT, SERIALBUF_OPEN},   {CONNECT, SERIALBUF_CONNECTED},
      {CLOSE, SERIALBUF_CLOSED},      {CLOSE, SERIALBUF_CLOSED},
      {DISCONNECT, SERIALBUF_CLOSED}, {CONNECT, SERIALBUF_CONNECTED},
      {OPEN, SERIALBUF_OPEN},         {OPEN, SERIALBUF_OPEN},
      {CLOSE, SERIALBUF_CLOSED},
  };
  for (auto &kind : kinds) {
    SCOPED_TRACE(kind.name);
    Record r = kind.make();
    ASSERT_TRUE(r);
    int i = 0;
    for (const auto &step : steps) {
      SCOPED_TRACE(i++);
      int rc = -9;
      switch (step.op) {
        case OPEN:
          rc = serialbuf_open(r.get());
          break;
        case CONNECT:
          kind.before_connect(r.get());
          rc = serialbuf_connect(r.get(), 0, nullptr);
          kind.after_connect();
          break;
        case DISCONNECT:
          rc = serialbuf_disconnect(r.get());
          break;
        case CLOSE:
          rc = serialbuf_close(r.get());
          break;
      }
      EXPECT_EQ(rc, 0) << take_registered();
      EXPECT_EQ(r->state, step.state);
      if (step.state == SERIALBUF_CONNECTED) {
        EXPECT_GE(r->fd, 0);
      }
      if (step.state == SERIALBUF_CLOSED) {
        EXPECT_EQ(r->fd, -1);
        EXPECT_EQ(r->fdserver, -1);
      }
    }
  }
  for (int fd : dialler.clients) close(fd);
}

TEST(SerialbufTcp, ServerAcceptsTwoClientsWithTheirPeerTexts) {
  int port = free_port();
  Record server(serialbuf_create_tcpserver(port, 1024, 2000, 5000, 2, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_open(server.get()), 0) << take_registered();
  for (int n = 1; n <= 2; ++n) {
    SCOPED_TRACE(n);
    int peer = connect_loopback(port);
    ASSERT_GE(peer, 0);
    int peer_port = bound_port(peer);
    Record client(serialbuf_connect_tcpserver(server.get()));
    ASSERT_TRUE(client) << take_registered();
    EXPECT_EQ(client->state, SERIALBUF_CONNECTED);
    EXPECT_EQ(client->com_mode, SERIALBUF_TCPCLIENT);
    EXPECT_STREQ(client->ipaddr, "xxx");
    EXPECT_EQ(client->size, 1024);
    EXPECT_EQ(client->timeout_control, 5000);
    EXPECT_EQ(client->recv_hostport, "127.0.0.1:" + std::to_string(peer_port));
    // The server keeps listening, unchanged.
    EXPECT_EQ(server->state, SERIALBUF_OPEN);
    EXPECT_EQ(server->fd, -1);

    std::string hello = "hello " + std::to_string(n);
    write_all(peer, hello);
    unsigned char c;
    std::string got;
    for (size_t i = 0; i < hello.size(); ++i) {
      ASSERT_EQ(serialbuf_get_byte(client.get(), &c, 0), 0);
      got += (char)c;
    }
    EXPECT_EQ(got, hello);
    EXPECT_EQ(serialbuf_write(client.get(), "ack", 3), 3);
    EXPECT_EQ(read_for(peer, 3, 5), "ack");
    close(peer);
  }
}

TEST(SerialbufTcp, IdleCallbackEndsAWaitForAClient) {
  ClockScale fast(0.05);
  Recorder rec;
  rec.idle_results = {0, 3};
  int port = free_port();
  Record server(serialbuf_create_tcpserver(port, 64, 1000, 0, 2, Recorder::idle, &rec, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_open(server.get()), 0);
  EXPECT_EQ(serialbuf_connect_tcpserver(server.get()), nullptr);
  EXPECT_EQ(rec.idle_phases, (std::vector<int>{1, 1}));
  EXPECT_NE(take_registered().find("stopped by the idle callback"), std::string::npos);
  EXPECT_EQ(server->state, SERIALBUF_OPEN);

  rec.idle_phases.clear();
  EXPECT_EQ(serialbuf_connect(server.get(), 0, nullptr), 3);
  EXPECT_EQ(server->state, SERIALBUF_OPEN);
  EXPECT_EQ(rec.idle_phases, (std::vector<int>{1, 1}));
}

TEST(SerialbufTcp, AcceptNeedsAListeningServer) {
  Record server(serialbuf_create_tcpserver(free_port(), 64, 1000, 0, 2, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(serialbuf_connect_tcpserver(server.get()), nullptr);
  EXPECT_EQ(take_registered(), "serialbuf_connect_tcpserver: state must be OPEN.\n");
  Record client(serialbuf_create_tcpclient("127.0.0.1", 1, 64, 1000, 0, 2, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(serialbuf_connect_tcpserver(client.get()), nullptr);
  EXPECT_EQ(take_registered(), "serialbuf_connect_tcpserver: com_mode must be TCPSERVER.\n");
}

TEST(SerialbufTcp, ClientRefusedLeavesTheRecordClosed) {
  Record c(serialbuf_create_tcpclient("127.0.0.1", free_port(), 64, 1000, 0, 2, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(serialbuf_connect(c.get(), 0, nullptr), -1);
  std::string log = take_registered();
  EXPECT_NE(log.find("serialbuf_open: Can't connect to server\n"), std::string::npos);
  EXPECT_NE(log.find("serialbuf_connect: serialbuf_open() error.\n"), std::string::npos);
  EXPECT_EQ(c->state, SERIALBUF_CLOSED);
  EXPECT_EQ(c->fd, -1);
}

TEST(SerialbufTcp, ClientDisconnectEndsTheConnectionAndConnectMakesANewOne) {
  Listener listener;
  Record c(serialbuf_create_tcpclient("127.0.0.1", listener.port, 64, 2000, 0, 2, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_connect(c.get(), 0, nullptr), 0) << take_registered();
  int first = listener.accept_one(5);
  ASSERT_GE(first, 0);

  ASSERT_EQ(serialbuf_disconnect(c.get()), 0);
  EXPECT_EQ(c->state, SERIALBUF_OPEN);
  // The far end sees the connection end.
  char tmp;
  EXPECT_EQ(read(first, &tmp, 1), 0);
  close(first);

  ASSERT_EQ(serialbuf_connect(c.get(), 0, nullptr), 0) << take_registered();
  int second = listener.accept_one(5);
  ASSERT_GE(second, 0);
  EXPECT_EQ(serialbuf_write(c.get(), "again", 5), 5);
  EXPECT_EQ(read_for(second, 5, 5), "again");
  close(second);
}

// Both kinds of TCP connection send small writes at once (no coalescing): a resend
// request or a continue is not held back behind the last unacknowledged write.
TEST(SerialbufTcp, ConnectionsSetNoDelay) {
  auto nodelay = [](int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    EXPECT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    return on != 0;
  };
  Listener listener;
  Record c(serialbuf_create_tcpclient("127.0.0.1", listener.port, 64, 2000, 0, 2, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_connect(c.get(), 0, nullptr), 0) << take_registered();
  int far = listener.accept_one(5);
  ASSERT_GE(far, 0);
  EXPECT_TRUE(nodelay(c->fd)) << "client";
  close(far);

  int port = free_port();
  Record server(serialbuf_create_tcpserver(port, 1024, 2000, 5000, 2, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_open(server.get()), 0) << take_registered();
  int peer = connect_loopback(port);
  ASSERT_GE(peer, 0);
  Record accepted(serialbuf_connect_tcpserver(server.get()));
  ASSERT_TRUE(accepted) << take_registered();
  EXPECT_TRUE(nodelay(accepted->fd)) << "accepted";
  close(peer);
}

TEST(SerialbufTcp, ClientConnectIsLimitedByTheConnectTimeout) {
  ClockScale fast(0.1);
  // A listener that takes no more connections: its queue is full, so further
  // connection requests get no answer.
  Listener full(0);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sa = loopback(full.port);
    connect(fd, (sockaddr *)&sa, sizeof sa);
    queued.push_back(fd);
  }
  usleep(50000);
  Record c(serialbuf_create_tcpclient("127.0.0.1", full.port, 64, 1500, 0, 2, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, nullptr));
  double start = clock_monotonic();
  EXPECT_EQ(serialbuf_open(c.get()), -1);
  double took = clock_monotonic() - start;
  EXPECT_GE(took, 1.4);
  EXPECT_LT(took, 5.0);
  EXPECT_NE(take_registered().find("Can't connect to server"), std::string::npos);
  for (int fd : queued) close(fd);
}

// A resolver whose lookups of one name never answer until the test lets them go; it
// knows 127.0.0.1 too.
struct StuckResolver {
  static constexpr const char *kName = "stuck.kessaro.test";
  static std::mutex mutex;
  static std::condition_variable cond;
  static bool released;  // under mutex, as the counts
  static int begun, ended;
  static int forward(const char *name, unsigned *address, std::string *official) {
    *address = htonl(INADDR_LOOPBACK);
    *official = name;
    if (strcmp(name, "127.0.0.1") == 0) return 0;
    if (strcmp(name, kName) != 0) return -1;
    std::unique_lock<std::mutex> lock(mutex);
    begun++;
    cond.wait(lock, [] { return released; });
    ended++;
    return 0;
  }
  static int reverse(unsigned, std::string *) { return -1; }
  HostResolver resolver{forward, reverse};
  StuckResolver() {
    released = false;
    begun = ended = 0;
    hostid_set_resolver(&resolver);
  }
  // Lets the lookups go and waits (bounded) until every one has returned.
  ~StuckResolver() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      released = true;
    }
    cond.notify_all();
    EXPECT_TRUE(wait_until([] {
      std::lock_guard<std::mutex> lock(mutex);
      return ended == begun;
    })) << "a lookup did not return";
    hostid_set_resolver(nullptr);
  }
};
std::mutex StuckResolver::mutex;
std::condition_variable StuckResolver::cond;
bool StuckResolver::released = false;
int StuckResolver::begun = 0;
int StuckResolver::ended = 0;

// Opening a TCP client waits for a peer that never answers its connect, or for a name
// lookup that never answers: the idle callback stops either wait after the slice it asks
// to (a program shutting down).
TEST(SerialbufTcp, TheIdleCallbackEndsAConnectOrALookup) {
  ClockScale fast(0.05);
  // A listener that takes no more connections: further connection requests get no answer.
  Listener full(0);
  std::vector<int> queued;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in sa = loopback(full.port);
    connect(fd, (sockaddr *)&sa, sizeof sa);
    queued.push_back(fd);
  }
  // The first one has filled the queue once its connect is done.
  ASSERT_TRUE(wait_until([&] {
    struct pollfd p = {queued[0], POLLOUT, 0};
    return poll(&p, 1, 0) == 1;
  }));
  StuckResolver stuck;
  const struct {
    const char *name;
    const char *host;
    std::vector<int> idle_results;
    const char *message;
  } cases[] = {
      {"a connect stopped", "127.0.0.1", {0, 0, 3}, "connect stopped by the idle callback"},
      {"a lookup stopped", StuckResolver::kName, {0, 3}, "stopped by the idle callback"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    rec.idle_results = c.idle_results;
    Record r(serialbuf_create_tcpclient(c.host, full.port, 64, 1000, 0, 2, Recorder::idle, &rec,
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
    r->timeout_connect = 600000;  // far beyond the stop
    EXPECT_EQ(serialbuf_open(r.get()), -1);
    const std::string log = take_registered();
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(r->state, SERIALBUF_CLOSED);
    EXPECT_EQ(r->fd, -1);
    // Asked after every slice that brought nothing, until it said stop.
    std::lock_guard<std::mutex> lock(rec.mutex);
    EXPECT_EQ(rec.idle_phases, std::vector<int>(c.idle_results.size(), 0));
  }
  for (int fd : queued) close(fd);
}

TEST(SerialbufLines, DisconnectDropsTheLineWithControlLines) {
  ClockScale fast(0.01);
  FakeLines lines;
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Record s = serial_record(pty.path);
  ASSERT_EQ(
      serialbuf_set_modem_control(s.get(), 1, 1000, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
      0);
  ASSERT_EQ(serialbuf_open(s.get()), 0);
  EXPECT_EQ(lines.hangups.load(), 1);
  s->state = SERIALBUF_CONNECTED;
  s->ptr = 1;
  s->occupied = 3;
  s->busy_rec_string_ptr = 2;
  ASSERT_EQ(serialbuf_disconnect(s.get()), 0);
  EXPECT_EQ(lines.hangups.load(), 2);
  EXPECT_EQ(s->state, SERIALBUF_OPEN);
  EXPECT_GE(s->fd, 0);  // a serial line stays open
  EXPECT_EQ(s->ptr, 0);
  EXPECT_EQ(s->occupied, 0);
  EXPECT_EQ(s->busy_rec_string_ptr, 0);
  EXPECT_EQ(s->next_bad, -1);
  // Closing does not hang up.
  EXPECT_EQ(serialbuf_close(s.get()), 0);
  EXPECT_EQ(lines.hangups.load(), 2);
}

TEST(SerialbufClear, DropsStaleInputForTwoSeconds) {
  ClockScale fast(0.1);
  Recorder rec;
  SockPair sp;
  Record r(make_record(&rec));
  attach(r.get(), sp.give_near());
  r->rverbose = 3;
  sp.send("abc\r\npartial");
  unsigned char c;
  ASSERT_EQ(serialbuf_get_byte(r.get(), &c, 0), 0);
  EXPECT_STREQ(r->line, "partial");
  sp.send("stale");
  double start = clock_monotonic();
  EXPECT_EQ(serialbuf_clear(r.get()), 0);
  double took = clock_monotonic() - start;
  EXPECT_GE(took, 2.0);
  EXPECT_LT(took, 3.0);
  EXPECT_EQ(r->ptr, 0);
  EXPECT_EQ(r->occupied, 0);
  EXPECT_EQ(r->next_bad, -1);
  for (int i = 0; i < r->line_size; ++i) ASSERT_EQ(r->line[i], 0);
  // Nothing of the old input is read afterwards; no data-rate count for what was dropped.
  EXPECT_EQ(rec.read_bytes, 12);
  sp.send("new");
  ASSERT_EQ(serialbuf_get_byte(r.get(), &c, 0), 0);
  EXPECT_EQ(c, 'n');
}

TEST(SerialbufClear, StopsAtEndOfInput) {
  ClockScale fast(0.1);
  Recorder rec;
  SockPair sp;
  Record r(make_record(&rec));
  attach(r.get(), sp.give_near());
  sp.send("bye");
  sp.close_far();
  double start = clock_monotonic();
  EXPECT_EQ(serialbuf_clear(r.get()), 0);
  EXPECT_LT(clock_monotonic() - start, 1.0);
}

TEST(SerialbufDestroy, ClosesTheConnectionAndAcceptsNull) {
  SockPair sp;
  SerialBuf *r = make_record(nullptr);
  ASSERT_TRUE(r);
  r->idle_callback = nullptr;
  r->log_callback = nullptr;
  r->datarate_callback = nullptr;
  attach(r, sp.give_near());
  EXPECT_EQ(serialbuf_destroy(r), 0);
  EXPECT_EQ(sp.recv(1, 2), "");  // end of input at the far end
  EXPECT_EQ(serialbuf_destroy(nullptr), 0);
  serialbuf_free(nullptr);
}

}  // namespace
