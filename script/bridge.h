// The plug-in's side of the bridge for sibling plug-ins (script/bridge_abi.h): the table the
// module exports through TFR_GetBridge, and the summary the scripting interface prints.
//
// Delivered volumes are kept in a process-wide ring of four. A call for the same node, time,
// display generation, displayed frame and look settings as a kept volume hands out that volume
// again; otherwise the volume is shaded anew and replaces the oldest. Every delivered record and
// every ring slot holds a counted reference, so the arrays live until the last of them lets go.
#pragma once

#include <string>

#include "host/core/math.h"
#include "script/bridge_abi.h"

namespace host {
class Node;
}

namespace tf {

struct RenderSettings;

// The constant table: version 2, IsFireNode, GetFrame and ReleaseFrame.
const TfrBridge* GetBridgeTable();

// Whether two look records hold the same values. Records are compared field by field: the bytes
// of a record also hold padding, which two equal records need not share.
bool SameRenderSettings(const RenderSettings& a, const RenderSettings& b);

// "bridge: not a fire node", "bridge: no frame", or the bridge frame of `node` at t summed up:
// "bridge v2: NXxNYxNZ voxel V m origin X Y Z ext=E emission=S max=M" with the sums of extinction
// and of all emission components, and the largest emission of one cell (red + green + blue).
std::string BridgeInfoText(host::Node* node, host::TimeValue t);

}  // namespace tf
