// kessaro_hooks.h - the program's side of the Altus interface's hook record: the
// interface runs queued requests, writes the state file, asks for a status report, stops
// the writer and answers requests through the hooks installed here.
//
// Locking: none of its own; install while no link, datalogger or writer thread runs.
#pragma once

struct Kessaro;

// Sets kessaro_glbl to `altus` and installs the program's hooks, with `altus` as the
// program record of links and dataloggers that name none. None clears both.
void kessaro_install(Kessaro *altus);
