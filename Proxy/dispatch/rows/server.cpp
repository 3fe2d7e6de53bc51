// Rows of the input-device and server-wide requests (opcodes 100 to 119),
// NoOperation (127) and the opcodes the core protocol leaves unused (0 and
// 120 to 126).
#include <X11/Xproto.h>

#include "Proxy/dispatch/dispatch.h"
#include "Proxy/dispatch/rows.h"
#include "Proxy/links/sequence.h"
#include "Proxy/requests/server.h"
#include "Proxy/servers/queries.h"

namespace palvon {

namespace {

#define INVALID(opcode) {opcode, "InvalidRequest", ProcInvalidRequest, nullptr, "bbs", "", anySize(), Route::kNone}

// clang-format off
constexpr RequestRow kRows[] = {
    INVALID(0),
    {X_ChangeKeyboardMapping, "ChangeKeyboardMapping", ProcChangeKeyboardMapping, nullptr, "bbsbbsI", "", countedSize(8, 1, 1, 32, 5), Route::kEveryServer},
    {X_GetKeyboardMapping, "GetKeyboardMapping", ProcGetKeyboardMapping, ReplyGetKeyboardMapping, "bbsbb", "bbsiI", exactSize(8), Route::kInputHead},
    {X_ChangeKeyboardControl, "ChangeKeyboardControl", ProcChangeKeyboardControl, nullptr, "bbsiI", "", maskSize(8, 4, 4), Route::kEveryServer},
    {X_GetKeyboardControl, "GetKeyboardControl", ProcGetKeyboardControl, ReplyGetKeyboardControl, "bbs", "bbsiibbss", exactSize(4), Route::kInputHead},
    {X_Bell, "Bell", ProcBell, nullptr, "bbs", "", exactSize(4), Route::kInputHead},
    {X_ChangePointerControl, "ChangePointerControl", ProcChangePointerControl, nullptr, "bbssssbb", "", exactSize(12), Route::kEveryServer},
    {X_GetPointerControl, "GetPointerControl", ProcForwardQuery, nullptr, "bbs", "bbsisss", exactSize(4), Route::kInputHead},
    {X_SetScreenSaver, "SetScreenSaver", ProcSetScreenSaver, nullptr, "bbsssbb", "", exactSize(12), Route::kEveryServer},
    {X_GetScreenSaver, "GetScreenSaver", ProcForwardQuery, nullptr, "bbs", "bbsissbb", exactSize(4), Route::kMainHead},
    {X_ChangeHosts, "ChangeHosts", ProcChangeHosts, nullptr, "bbsbbs", "", countedSize(8, 6, 2, 8), Route::kLocal},
    {X_ListHosts, "ListHosts", ProcListHosts, ReplyListHosts, "bbs", "H34", exactSize(4), Route::kMainHead},
    {X_SetAccessControl, "SetAccessControl", ProcSetAccessControl, nullptr, "bbs", "", exactSize(4), Route::kLocal},
    {X_SetCloseDownMode, "SetCloseDownMode", ProcSetCloseDownMode, nullptr, "bbs", "", exactSize(4), Route::kLocal},
    {X_KillClient, "KillClient", ProcKillClient, nullptr, "bbsi", "", exactSize(8), Route::kLocal},
    {X_RotateProperties, "RotateProperties", ProcRotateProperties, nullptr, "bbsissI", "", countedSize(12, 8, 2, 32), Route::kPropertyHead},
    {X_ForceScreenSaver, "ForceScreenSaver", ProcForceScreenSaver, nullptr, "bbs", "", exactSize(4), Route::kEveryServer},
    {X_SetPointerMapping, "SetPointerMapping", ProcSetPointerMapping, nullptr, "bbs", "bbsi", countedSize(4, 1, 1, 8), Route::kEveryServer},
    {X_GetPointerMapping, "GetPointerMapping", ProcForwardQuery, ReplyGetPointerMapping, "bbs", "bbsi", exactSize(4), Route::kInputHead},
    {X_SetModifierMapping, "SetModifierMapping", ProcSetModifierMapping, nullptr, "bbs", "bbsi", countedSize(4, 1, 1, 64), Route::kEveryServer},
    {X_GetModifierMapping, "GetModifierMapping", ProcForwardQuery, ReplyGetModifierMapping, "bbs", "bbsi", exactSize(4), Route::kInputHead},
    INVALID(120), INVALID(121), INVALID(122), INVALID(123), INVALID(124), INVALID(125), INVALID(126),
    // The proxy's own round trips are keyed as NoOperation (a request that
    // never has a reply of its own), so their replies come here.
    {X_NoOperation, "NoOperation", ProcNoOperation, ReplyNoOperation, "bbs", "", atLeastSize(4), Route::kLocal},
};
// clang-format on

#undef INVALID

}  // namespace

const RowTable kServerRows = {kRows, rowCount(kRows)};

}  // namespace palvon
