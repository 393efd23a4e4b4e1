// hostid.h - host identity (login, host, system and hardware names, the host's IPv4
// addresses) and host-name lookups.
//
// Addresses passed as `unsigned` are in network byte order (the first octet in the
// lowest memory byte), except the results of my_ips, my_ipaddress and ifconfig_parse,
// which are host-order numbers a*2^24 + b*2^16 + c*2^8 + d for a.b.c.d.
//
// Output buffers: names need HOSTID_NAME_SIZE bytes (longer names are cut), dotted texts
// HOSTID_DOTTED_SIZE bytes, the my_ips list room for MY_IPS_ROOM numbers.
//
// Process-wide caches, each under its own mutex: the login name; the addresses whose
// reverse lookup failed (each complained about once per process); the interface list,
// reread when it is more than 60 s old. Lookups use getaddrinfo/getnameinfo, which are
// reentrant; my_ip, ip2name, name2ip and my_ips each also hold their own mutex.
//
// The interface list comes from "/sbin/ifconfig -a" run without a shell, with the
// environment LANG=C, through the gx line reader; both the "inet 10.1.2.3" and the older
// "inet addr:10.1.2.3" forms are read. Without that program, getifaddrs lists them.
#pragma once

#include <string>

enum { HOSTID_NAME_SIZE = 256, HOSTID_DOTTED_SIZE = 16, MY_IPS_ROOM = 32 };

// uname's node name cut at its first "."; "" and uname's result on failure, else 0.
int my_hostname(char *name);
// uname's system name; "" and uname's result on failure, else 0.
int my_os(char *name);
// uname's machine name; "" and uname's result on failure, else 0.
int my_hardware(char *name);
// The login name of the effective user, 0; when there is none, "u#<real user id>" and -1.
int my_username(char *name);
// This host's official name, first address as dotted text and as a number. When the
// short host name does not resolve: "localhost" and the first interface address; -1
// (dotted and address untouched) when there is none either.
int my_ip(char *host, char *dotted, unsigned *address);
// The host name of an address, 0. 127.0.0.1 gives "localhost" without a lookup. An
// address that does not resolve gives its dotted text and -1.
int ip2name(unsigned address, char *name);
// The first IPv4 address of a name, 0; a name that does not resolve gives address
// 0xFFFFFFFF, dotted "" and -1.
int name2ip(const char *name, unsigned *address, char *dotted);
// The host's interface addresses except 127.0.0.1 (at most 31), host order, followed by
// 0. Returns the count.
int my_ips(unsigned *list);
// The first interface address the system lists, loopback included, in host order; 0 when
// there is none.
unsigned my_ipaddress(void);

// The addresses of "inet" lines in ifconfig output, in order, host order, at most
// `room`, 127.0.0.1 left out when skip_loopback is set. Returns the count. A line whose
// address is not four numbers of 0..255 is ignored.
int ifconfig_parse(const char *text, unsigned *list, int room, int skip_loopback);

// Test seams.
// A resolver in place of getaddrinfo/getnameinfo: forward gives a name's first address
// (network order) and its official name, reverse an address's name; each returns 0 or
// -1. None restores the system's.
struct HostResolver {
  int (*forward)(const char *name, unsigned *address, std::string *official);
  int (*reverse)(unsigned address, std::string *name);
};
void hostid_set_resolver(const HostResolver *resolver);
// The interface-listing program, run with the argument -a; none restores
// "/sbin/ifconfig".
void hostid_set_ifconfig(const char *path);
// Forgets every cache (login name, failed lookups, interface list).
void hostid_reset(void);
