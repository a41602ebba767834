// The names of the filters' settings that another program reads from their
// files: the milter host takes each filter's engine socket and the texts of
// the header fields it adds (to remove forged copies of them).  The filters'
// readers (av/settings.cpp, as/settings.cpp) and the host name them here,
// so a key renamed in one place is renamed for every reader.
#ifndef TARNWICK_COMMON_CONFIG_FILTERKEYS_H
#define TARNWICK_COMMON_CONFIG_FILTERKEYS_H

namespace filterKeys {

// The engine's socket path (both filters).
constexpr const char socket[] = "Socket";
// Tarnwick-AS: the score field, and the field added from the alert level.
constexpr const char header[] = "Header";
constexpr const char alertHeader[] = "AlertHeader";
// Tarnwick-AV: the add-header mode's section, and its field (Header
// inside it).
constexpr const char addHeaderOptions[] = "AddHeaderOptions";
constexpr const char addHeaderOptionsHeader[] = "Header";
// Tarnwick-AV: what the host's hold of infected mail reads: the Mode, the
// notification of each refusing Mode, the caption of the refusal text.
constexpr const char mode[] = "Mode";
constexpr const char rejectOptions[] = "RejectOptions";
constexpr const char discardOptions[] = "DiscardOptions";
constexpr const char notifyRecipients[] = "NotifyRecipients";
constexpr const char notificationMessage[] = "NotificationMessage";
constexpr const char caption[] = "Caption";

}  // namespace filterKeys

#endif
