// Tarnwick-AV's settings and fixed texts: the reader of Tarnwick-AV.cfg and
// the snapshot it publishes.  A library of its own (tarnwick_av_settings),
// used by the program and by tarnwick-check; nothing here knows the host.
#ifndef TARNWICK_AV_SETTINGS_H
#define TARNWICK_AV_SETTINGS_H

#include <memory>
#include <string>
#include <vector>

#include "common/base/process.h"
#include "common/config/settings.h"

struct avSettings : commonSettings {
    int opMode = 0;  // 0 Reject, 1 Discard, 2 AddHeader
    std::string postProcessStr;
    bool doPostProcess = false;
    bool doNotifyRecipeints = true;
    std::string addHeaderStr;
    // NotificationMessage: the texts around the virus name in an answer.
    struct {
        std::string caption, summary, footer;
    } notification;
    // NotifyRecipientsOptions: the notification mail.  Type errors of its
    // entries are reported by each notification as it uses them.
    struct {
        std::string from, subject, extraHeaders;
        std::vector<std::string> description;  // the String elements, in order
        std::string senderInfo, headerTitle;
        settingNotes notes;  // under the keys inside
    } notify;
};

// Its fixed texts (also for tarnwick-check, which has no programDesc of it).
extern const processIdentity avIdentity;

const std::shared_ptr<const avSettings>& AvSettings();

// Settings.
void ReadAvSettings();
// NotificationMessage and NotifyRecipientsOptions of a settings tree.
void ReadNotificationSettings(const cfgfItem* conf, avSettings& next);
void CheckConfigSubset(const cfgfItem* dict, const char* name, const char* const* required,
                       const char* const* allowed, cfgfItemType wanted);

#endif
