// altuscomsubs_evtinfo.h - event facts (AltusEvtInfo) from an event summary or from an
// event-file header, their event-information parameter-file text, its publication
// through the output pipeline, and the export of an event's channels as a waveform file
// with wfdisc rows.
//
// Locking: none of its own; called on the link thread that holds the datalogger. The
// calibration re-check flag and time are atomics shared with the write thread.
#pragma once

#include "reldb/db.h"

struct AltusDatalogger;
struct AltusDirTree;
struct AltusEvtInfo;
struct AltusEvtFile;
struct AltusBlockEventsummary;
struct Kessaro;

// Event facts. `nchan` is clamped to the 18 channel records; a sample rate that is not a
// positive finite number leaves the end and peak times 0. Return 0.
int eventsummary2info(const AltusBlockEventsummary *altusevent, AltusEvtInfo *info);
int evt2info(const AltusEvtFile *fhdr, AltusEvtInfo *info);
// The event-information text of one file (newly allocated; the caller frees it).
char *eventinfo2pf(AltusDatalogger *dl, AltusDirTree *dirt, AltusEvtInfo *ev);
// Publishes entry `i` of the datalogger's file list as an event-summary packet. 0.
int push_event_summary(Kessaro *altus, AltusDatalogger *dl, int i);
// Writes channels `ichan` of one event (samples in `dataout`, recorded channel k from
// k x nsamp) to one file of 4-byte host-order integers with a wfdisc row each. 0 or -1.
int evt2db(const AltusEvtFile *fhdr, Dbptr db, const char *sta, int nchans, char **chan,
           const int *ichan, const int *dataout, const char *dir, const char *dfile, int addchk);
