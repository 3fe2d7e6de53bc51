// DPMS and FBPM.
#include "Xext/small/dpms.h"

#include "Proxy/clients/client.h"
#include "Proxy/dispatch/dispatch.h"
#include "Xext/extmodule.h"
#include "base/logging.h"

namespace palvon {

namespace {

void ReplyDpmsGetVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleDPMS, "bbsiss"); }
void ReplyFbpmGetVersion(u8* reply, u32 length) { sendVersionReply(reply, length, kModuleFBPM, "bbsiss"); }

// A change reaches one head of every server and has no answer to wait for.
void ProcPowerChange(u8* request, u32 length) { forwardRequest(request, length); }

// Clients of a lost server get the version; anything else has no server
// left to answer it.
void lostDpmsServer(ProxyClient* client, u64 sequence, u8 minor, u16 key) {
  if (minor == 0) return composeVersionReply(client, sequence, key, kModuleDPMS);
  PALVON_WIP();
  composeImplementationError(client, sequence, key);
}

constexpr RequestRow kDpmsRequests[] = {
    {0, "DPMSGetVersion", forwardOrAnswer, ReplyDpmsGetVersion, "bbsss", "bbsiss", exactSize(8), Route::kMainHead},
    {1, "DPMSCapable", forwardOrAnswer, nullptr, "bbs", "bbsi", exactSize(4), Route::kMainHead},
    {2, "DPMSGetTimeouts", forwardOrAnswer, nullptr, "bbs", "bbsisss", exactSize(4), Route::kMainHead},
    {3, "DPMSSetTimeouts", ProcPowerChange, nullptr, "bbssss", "", exactSize(12), Route::kEveryServer},
    {4, "DPMSEnable", ProcPowerChange, nullptr, "bbs", "", exactSize(4), Route::kEveryServer},
    {5, "DPMSDisable", ProcPowerChange, nullptr, "bbs", "", exactSize(4), Route::kEveryServer},
    {6, "DPMSForceLevel", ProcPowerChange, nullptr, "bbss", "", exactSize(8), Route::kEveryServer},
    {7, "DPMSInfo", forwardOrAnswer, nullptr, "bbs", "bbsis", exactSize(4), Route::kMainHead},
};

constexpr RequestRow kFbpmRequests[] = {
    {0, "FBPMGetVersion", forwardOrAnswer, ReplyFbpmGetVersion, "bbsss", "bbsiss", exactSize(8), Route::kMainHead},
    {1, "FBPMCapable", forwardOrAnswer, nullptr, "bbs", "bbsi", exactSize(4), Route::kMainHead},
    {4, "FBPMEnable", ProcPowerChange, nullptr, "bbss", "", exactSize(8), Route::kEveryServer},
    {5, "FBPMDisable", ProcPowerChange, nullptr, "bbs", "", exactSize(4), Route::kEveryServer},
    {6, "FBPMForceLevel", ProcPowerChange, nullptr, "bbss", "", exactSize(8), Route::kEveryServer},
    {7, "FBPMInfo", forwardOrAnswer, nullptr, "bbs", "bbsis", exactSize(4), Route::kMainHead},
};

}  // namespace

const char* initDpmsExtension(ExtensionEntry* entry) {
  return registerModule(entry, "DPMS", {kDpmsRequests, rowCount(kDpmsRequests), nullptr, 0, nullptr, 0},
                        {kModuleDPMS, lostDpmsServer, nullptr, false});
}

const char* initFbpmExtension(ExtensionEntry* entry) {
  return registerModule(entry, "FBPM", {kFbpmRequests, rowCount(kFbpmRequests), nullptr, 0, nullptr, 0},
                        {kModuleFBPM, nullptr, nullptr, false});
}

}  // namespace palvon
