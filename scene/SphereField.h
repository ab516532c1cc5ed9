#pragma once

#include <glm/glm.hpp>

#include "quib/List.h"
#include "scene/Sphurr.h"

class Sync;
struct SyncTrack;

// Places the sphere records for one frame from the tracks "Part", "Rad Shit",
// "Rad Shit Time" and "BOOM": mode 0 a random cloud with an outward radius
// wave, mode 1 a spinning 40-sphere cluster with 40 small random spheres, any
// other mode freezes the placement of the moment the freeze began (nothing
// placed when "Part" froze from its first key). "BOOM" at this frame's time
// is then added to the radius of the first half of the records. The result
// depends on the time and the tracks alone, not on earlier frames.
void updateSphereField(Quib::List<Sphurr>& spheres, int& placed, double t, Sync& sync);

// The last row at or before `row` at which the "Part" track places the
// spheres (mode 0 or 1): `row` itself when it does, otherwise just before
// the freeze began. False when it has not placed them by then.
bool lastPlacingRow(const SyncTrack* part, double row, double& found);

// One node of the cluster and, below depth 3, its three children, stored in
// depth-first pre-order from record `placed` on.
void buildCluster(Quib::List<Sphurr>& spheres, int& placed, int depth, glm::mat4 transform, double t);

// The track value as a mode or shot number, truncated toward zero; a value
// that fits no int (NaN, huge) gives `otherwise`.
int truncateTrackValue(float value, int otherwise);
