// The window layout that the fast matrix engines need: the L1C area covers the science window
// exactly (with the same offset) and the science window lies inside the detector window, so that
// every science pixel belongs to the L1C pixel that contains it. The creation entry points accept
// no other layout.
#pragma once

class WindowMappingHierarchy;

bool TALVEN_FastEngineLayoutApplies(const WindowMappingHierarchy& hierarchy);
