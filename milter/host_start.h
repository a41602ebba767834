// The host's start-up checks: its directories, what --on-virus hold reads
// from Tarnwick-AV's settings, where the settings checker the reload runs
// lies.
#ifndef TARNWICK_MILTER_HOST_START_H
#define TARNWICK_MILTER_HOST_START_H

#include <sys/types.h>

#include <string>

#include "milter/policy.h"

namespace milter {

// Makes the directory (or takes the one there); false, said in the log,
// when it is not a directory (a link is not one).
bool EnsureDirectory(const std::string& path, mode_t mode);

// --on-virus hold reads Tarnwick-AV's settings: in Mode Reject the field
// its Mode AddHeader would add names what was found on the release, and a
// notification of the recipients would tell them the held message was not
// delivered; Mode Discard names nothing and is not held.  What does not fit
// is said at the start (the settings stay the administrator's).
void HoldInfectedWith(const std::string& program, PolicySettings& policy);

// The checker of the filters' settings: beside this program in a build
// tree, in /usr/bin where the package puts it (this program is in
// /usr/sbin).
std::string CheckerPath();

}  // namespace milter

#endif
