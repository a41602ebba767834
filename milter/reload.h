// The reload of the filters on SIGHUP (systemctl reload): each filter
// whose settings file changed takes it the way the filters reload, by the
// marker file hup.sig in its program directory; a filter that reads the
// whitelist only when it starts is replaced by a fresh process when the
// whitelist changed.  A settings file (or whitelist) the checker finds a
// problem in is not taken: every problem is logged and the running
// process keeps its settings.
//
// The filters share one program directory and so one marker name, and
// each looks for it whenever it reads a request line.  So the marker is
// handed to one filter at a time: the other filters' new request lines
// are held back, and each has answered an INTF sent behind the lines it
// already had; after kQuietMs (the filters also look once a second after
// a line that came without a look) the marker is written, the filter it is
// for gets an INTF so that it reads a line at once, and the held lines go
// out when it has removed the marker.  Messages wait for that second or
// two; none is refused or deferred.
//
// Runs on one thread (the host's main thread), one reload at a time.
#ifndef TARNWICK_MILTER_RELOAD_H
#define TARNWICK_MILTER_RELOAD_H

#include <string>

#include "milter/filters.h"
#include "milter/settings.h"

namespace milter {

// checker: the settings checker program (tarnwick-check).
void ReloadFilters(Filters& filters, const HostSettings& settings, const std::string& checker);

}  // namespace milter

#endif
