// q330sim.cpp - runs the Q330 simulator by hand until interrupted.
#include "q330sim.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/clock.h"

static volatile sig_atomic_t stop_now = 0;
static void on_signal(int) { stop_now = 1; }

static void usage(FILE *f) {
  fprintf(f,
          "usage: q330sim [-b base_port] [-l logical_port] [-s serial_hex] [-a auth_code_hex]\n"
          "               [-t property_tag]\n"
          "  -b  base port (control = base + 2 x logical, data = control + 1); default 5330\n"
          "  -l  logical port 1-4; default 1\n"
          "  -s  serial number, up to 16 hexadecimal digits\n"
          "  -a  the authentication code accepted, up to 16 hexadecimal digits; default 0\n"
          "  -t  property tag\n"
          "  -h  this text\n");
}

int main(int argc, char **argv) {
  Q330SimOptions o;
  o.base_port = 5330;
  int c;
  while ((c = getopt(argc, argv, "b:l:s:a:t:h")) != -1) {
    switch (c) {
      case 'b':
        o.base_port = atoi(optarg);
        break;
      case 'l':
        o.logical = atoi(optarg);
        break;
      case 's':
        o.serial = strtoull(optarg, nullptr, 16);
        break;
      case 'a':
        o.auth_code = strtoull(optarg, nullptr, 16);
        break;
      case 't':
        o.property_tag = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 1;
    }
  }
  if (o.logical < 1 || o.logical > 4 || o.base_port < 1 || o.base_port > 65525) {
    usage(stderr);
    return 1;
  }
  Q330Sim sim(o);
  if (sim.start() < 0) {
    fprintf(stderr, "q330sim: cannot bind ports %d and %d\n", o.base_port + 2 * o.logical,
            o.base_port + 2 * o.logical + 1);
    return 1;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  printf("q330sim: control port %d, data port %d\n", sim.control_port(), sim.data_port());
  fflush(stdout);
  while (!stop_now) clock_sleep(0.2);
  sim.stop();
  return 0;
}
