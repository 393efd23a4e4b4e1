// version.h - the one version text of the suite, made by the build: the release number
// (the project's version in CMakeLists.txt), the system the programs were built for and
// the date and time this unit was compiled. The start-up banners, the usage banner, the
// status reports and the help texts all show it. Constants only: no lock.
#pragma once

// "Release <n> <system> <Mmm dd yyyy> " (ends in a blank, as the start-up box shows it).
extern const char vantrel_version[];
// The release number alone ("0.1").
extern const char vantrel_release[];
// The operating system's name ("Linux").
extern const char vantrel_os[];
// The build's date ("Mmm dd yyyy") and time of day ("hh:mm:ss").
extern const char vantrel_build_date[];
extern const char vantrel_build_time[];
