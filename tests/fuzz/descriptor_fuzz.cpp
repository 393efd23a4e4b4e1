// descriptor_fuzz - descriptor files of both forms: reading never fails uncleanly, and a
// descriptor read has a schema name and a dbpath.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/elog.h"
#include "reldb/dbinternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path;
  if (path.empty()) {
    // nfs locking without an id server ends the process by design; the fuzzer names one.
    setenv("DBIDSERVER", "localhost", 1);
    unsetenv("DBLOCKS");
    const char *tmp = getenv("TMPDIR");
    path = std::string(tmp && *tmp ? tmp : "/tmp") + "/descriptor_fuzz." + std::to_string(getpid());
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return 0;
  if (write(fd, data, size) != (ssize_t)size) {
    close(fd);
    return 0;
  }
  close(fd);
  Database *d = new_database();
  int result = dbread_descriptor(d, path.c_str());
  if (result >= 0 && (!d->schema_name || !d->dbpath)) abort();
  dbfree_database(d);
  unlink(path.c_str());
  elog_clear_register(0);
  return 0;
}
