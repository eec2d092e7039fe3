// The built-in demo video written by `komu demo`.
#pragma once

#include <cstdint>
#include <vector>

inline constexpr uint16_t DEMO_WIDTH = 640;
inline constexpr uint16_t DEMO_HEIGHT = 480;
inline constexpr uint32_t DEMO_FPS = 30;
inline constexpr uint32_t DEMO_FRAMES = 300;  // 10 seconds

// The complete demo file (header, index, payloads): 640 x 480, 30/1 fps,
// looping. Deterministic: the same bytes on every run.
std::vector<uint8_t> komu_demo_file();
