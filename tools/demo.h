// The built-in demo video written by `komu demo`.
#pragma once

#include <cstdint>

#include "komu_write.h"

inline constexpr uint16_t DEMO_WIDTH = 640;
inline constexpr uint16_t DEMO_HEIGHT = 480;
inline constexpr uint32_t DEMO_FPS = 30;
inline constexpr uint32_t DEMO_FRAMES = 300;  // 10 seconds

// Starts *writer (payloads in memory) and adds every frame of the demo:
// 640 x 480, 30/1 fps, looping. Deterministic: the same bytes on every run.
void komu_demo_video(komu_writer* writer);
