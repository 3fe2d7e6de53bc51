// Rows of the core errors (codes 1 to 17). Every other code gets the
// "Unsupported" row until an extension claims it.
#include <X11/X.h>

#include "Proxy/dispatch/rows.h"

namespace palvon {

// clang-format off
const ErrorRow kCoreErrorRows[] = {
    {BadRequest, "BadRequest", nullptr, ErrorValue::kNone},
    {BadValue, "BadValue", nullptr, ErrorValue::kKillClient},
    {BadWindow, "BadWindow", nullptr, ErrorValue::kResourceId},
    {BadPixmap, "BadPixmap", nullptr, ErrorValue::kResourceId},
    {BadAtom, "BadAtom", nullptr, ErrorValue::kAtom},
    {BadCursor, "BadCursor", nullptr, ErrorValue::kResourceId},
    {BadFont, "BadFont", nullptr, ErrorValue::kResourceId},
    {BadMatch, "BadMatch", nullptr, ErrorValue::kText},
    {BadDrawable, "BadDrawable", nullptr, ErrorValue::kResourceId},
    {BadAccess, "BadAccess", nullptr, ErrorValue::kText},
    {BadAlloc, "BadAlloc", nullptr, ErrorValue::kNone},
    // A colormap id like any other resource, printed as a value.
    {BadColor, "BadColor", nullptr, ErrorValue::kIdChoice},
    {BadGC, "BadGC", nullptr, ErrorValue::kResourceId},
    {BadIDChoice, "BadIDChoice", nullptr, ErrorValue::kIdChoice},
    {BadName, "BadName", nullptr, ErrorValue::kText},
    {BadLength, "BadLength", nullptr, ErrorValue::kText},
    {BadImplementation, "BadImplementation", nullptr, ErrorValue::kNone},
};
// clang-format on

const u32 kCoreErrorRowCount = rowCount(kCoreErrorRows);

}  // namespace palvon
