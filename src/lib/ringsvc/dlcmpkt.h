// dlcmpkt.h - remote-command ("dlcm") packets: their layout, their keyed MD5 signature,
// and the texts of commands and responses.
//
// Layout (both directions), 16-bit words most significant byte first:
//   0-1  extra header length, 0
//   2-3  text length in bytes, its terminating NUL included
//   4-5  type word 3
//   6-7  type word 3
//   8..  parameter-file text and its NUL
// so a packet holds at most DLCM_TEXT_MAX characters of text. A command is written under
// "<target>/pf/dlcm" (one target) or "/pf/dlcm" (every target); a response under the
// source name that its command gave in "reply".
//
// Signature: a command text begins with the line "dsig <32 hex digits>\n"; the digits are
// the MD5 of the rest of the text (everything after the first newline, up to the NUL)
// followed by the 8 bytes of the command key, in lower-case hexadecimal.
//
// Ownership: requests handed out by orbpkt2cmdpf are the caller's (pffree); texts are
// built into the caller's strings. Identity caches passed to initrsp are malloc'ed texts
// that initrsp fills when none and the caller frees. Locking: nothing here holds shared
// state except initcmd's process-wide counter (atomic); initrsp's caches are guarded by
// its caller.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

struct Pf;

enum {
  DLCM_HEADER_SIZE = 8,
  DLCM_TYPE = 3,
  DLCM_TEXT_MAX = 65526,  // characters: 8 + text + NUL fill the 16-bit fields at most
  DLCM_TARGET_SIZE = 64,  // target output of orbpkt2cmdpf, NUL included
  DLCM_REPLY_MAX = 63,    // characters of a "reply" source name
};
#define DLCM_SUFFIX "/pf/dlcm"

// The command key: 8 bytes and a NUL (its length is taken as strlen, 8).
extern const unsigned char pktbts[9];

// MD5 over the concatenation of the pieces, as 32 lower-case hexadecimal digits.
struct MdPiece {
  const void *bytes;
  size_t length;
};
struct MdDigest {
  char hex[33];
};
MdDigest mdcompute(std::initializer_list<MdPiece> pieces);

// The packet of a text: header and text with its NUL, exactly 8 + length + 1 bytes.
// 0, or -1 (registered) when the text is longer than DLCM_TEXT_MAX characters.
int dlcm_encode(const std::string &text, std::vector<char> *packet);
// The text of a dlcm packet (bytes after the 8 of the header may follow its NUL).
// 1 with the text; 0 when the bytes are not a dlcm packet (fewer than 8 bytes or type
// words other than 3, 3); -1 (registered) for a dlcm header whose lengths do not fit the
// packet (extra header length not 0, text length 0 or past the end, no NUL in the text).
int dlcm_decode(const char *packet, int nbytes, std::string *text);

// Reads a command packet. Outputs start as none, "" and 0. Returns 0 with no request when
// the packet is not a command (source name not ending in "/pf/dlcm", or not a dlcm
// packet); 0 with *request (the caller's) and *target (DLCM_TARGET_SIZE bytes: the name
// before "/pf/dlcm", "" for a broadcast) when it is, *verified 1 only when correctly
// signed; -1 (registered) for a damaged header or text that does not compile.
int orbpkt2cmdpf(const char *srcname, const char *packet, int nbytes, char *target, Pf **request,
                 int *verified);

// Builds a command text, unsigned, into *text and its "sequence" into *sequence; reply,
// targets, types and dlnames may be none. 0, or -1 (registered) when a value holds a line
// break or another control character but tab.
int initcmd(const char *command, const char *reply, const char *targets, const char *types,
            const char *dlnames, double delayhangup, std::string *sequence, std::string *text);

// Signs `text` and writes the command packet to `orb` under `srcname` with the current
// time. 0, or -1 (registered) when the signed text does not compile, is too long, or the
// write fails.
int pfcmdstring2orb(const char *text, const char *srcname, int orb);

// Builds the response to `request` into *text (without a response file's text) and the
// source name to answer to into *reply. username, hostname, ip and sequence_target are
// caches (each may be none): a set cache is used as it is, an empty one is filled. dlname,
// dlserial, dlcom and disposition may be none. Returns 1 when built; 0 when the request
// has no "reply" (nothing built); -1 (registered) when "reply" or "sequence" cannot be
// read, "reply" is not a source name of 1 to 63 characters, or a value holds a line break
// or another control character but tab.
int initrsp(const char *command, const char *target, const char *type, const char *dlname,
            const char *dlserial, const char *dlcom, Pf *request, int count, char **username,
            char **hostname, char **ip, char **sequence_target, const char *disposition,
            std::string *reply, std::string *text);
