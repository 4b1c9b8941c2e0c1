#include "platform/pipewire/channel_fold.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "platform/pipewire/capture_ports.h"

namespace sysaudio::pipewire {
namespace {

TEST(ChannelFoldTest, FoldsEachFrameWithTheServersStereoCoefficients) {
  // FL FR FC LFE RL RR: one input at a time, then all at once, in consecutive frames.
  const std::vector<float> inputs = {
      1, 0, 0, 0, 0,  0,   //
      0, 1, 0, 0, 0,  0,   //
      0, 0, 1, 0, 0,  0,   //
      0, 0, 0, 1, 0,  0,   //
      0, 0, 0, 0, 1,  0,   //
      0, 0, 0, 0, 0,  1,   //
      1, 2, 4, 8, 16, 32,  //
  };
  const float c = 0.70710678f;
  const float lfe = 0.35355339f;
  const std::vector<float> expected = {
      1,
      0,  //
      0,
      1,  //
      c,
      c,  //
      lfe,
      lfe,  //
      c,
      0,  //
      0,
      c,  //
      1 + 4 * c + 8 * lfe + 16 * c,
      2 + 4 * c + 8 * lfe + 32 * c,
  };
  std::vector<float> stereo(expected.size(), -99.0f);
  foldToStereo(inputs.data(), inputs.size() / captureInputCount, stereo.data());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(stereo[i], expected[i], 1e-5) << "sample " << i;
  }
}

TEST(ChannelFoldTest, NoFramesWritesNothing) {
  std::array<float, 2> stereo{-99.0f, -99.0f};
  foldToStereo(nullptr, 0, stereo.data());
  EXPECT_EQ(stereo[0], -99.0f);
  EXPECT_EQ(stereo[1], -99.0f);
}

// What PipeWire 0.3.65's converter puts on a stream's output ports for a device of another
// layout, as measured on its null sinks: a model of the server, so that the choice of ports and
// the fold can be checked together against what the same content gives on a stereo device.
using Layout = std::vector<std::string>;
using Frame = std::map<std::string, double>;

const Layout mono{"MONO"};
const Layout stereo{"FL", "FR"};
const Layout surround51{"FL", "FR", "FC", "LFE", "RL", "RR"};
const Layout surround71{"FL", "FR", "FC", "LFE", "RL", "RR", "SL", "SR"};

constexpr double minus3dB = 0.70710678;
constexpr double minus9dB = 0.35355339;

double at(const Frame& frame, const std::string& position) {
  const auto found = frame.find(position);
  return found != frame.end() ? found->second : 0.0;
}

// The server's own downmix to a stereo device.
std::pair<double, double> serverStereo(const Layout& source, const Frame& in) {
  if (source == mono) {
    return {at(in, "MONO"), at(in, "MONO")};
  }
  const double shared = minus3dB * at(in, "FC") + minus9dB * at(in, "LFE");
  return {at(in, "FL") + shared + minus3dB * (at(in, "RL") + at(in, "SL")),
          at(in, "FR") + shared + minus3dB * (at(in, "RR") + at(in, "SR"))};
}

Frame serverMix(const Layout& source, const Frame& in, const Layout& device) {
  Frame out;
  if (source == device) {
    return in;
  }
  if (source == mono) {
    for (const std::string& position : device) {
      out[position] = position == "LFE" ? 0.0 : at(in, "MONO");
    }
    return out;
  }
  const auto [left, right] = serverStereo(source, in);
  if (device == mono) {
    out["MONO"] = minus3dB * (left + right);
  } else if (device == stereo) {
    out["FL"] = left;
    out["FR"] = right;
  } else if (source == stereo) {
    // Upmixed: the front pair as it is, the rest made up from it.
    out = {{"FL", left},
           {"FR", right},
           {"FC", minus9dB * (left + right)},
           {"LFE", 0.0},
           {"RL", minus3dB * (left - right)},
           {"RR", minus3dB * (right - left)}};
    if (device == surround71) {
      out["SL"] = minus3dB * left;
      out["SR"] = minus3dB * right;
    }
  } else if (source == surround51 && device == surround71) {
    out = in;
    out["SL"] = at(in, "RL");
    out["SR"] = at(in, "RR");
  } else {
    ADD_FAILURE() << "no model for this pair of layouts";
  }
  return out;
}

// sysaudio's single channel for what the stream's ports carry on the device.
double captured(const Layout& source, const Frame& in, const Layout& device) {
  const Frame ports = serverMix(source, in, device);
  const std::vector<std::vector<CaptureInput>> fed = captureInputsFor(source, device);
  std::array<float, captureInputCount> inputs{};
  for (std::size_t i = 0; i < device.size(); ++i) {
    for (const CaptureInput input : fed[i]) {
      inputs[static_cast<std::size_t>(input)] += static_cast<float>(at(ports, device[i]));
    }
  }
  std::array<float, 2> pair{};
  foldToStereo(inputs.data(), 1, pair.data());
  return (pair[0] + pair[1]) / 2;
}

TEST(ChannelFoldTest, AStreamGivesTheSameLevelOnEveryDeviceAsOnAStereoOne) {
  struct Source {
    const char* name;
    Layout layout;
    std::vector<Frame> frames;
  };
  const std::vector<Source> sources = {
      {"mono", mono, {{{"MONO", 0.5}}, {{"MONO", -0.25}}}},
      {"stereo",
       stereo,
       {{{"FL", 0.5}, {"FR", 0.5}}, {{"FL", 0.5}}, {{"FR", 0.3}}, {{"FL", 0.6}, {"FR", -0.2}}}},
      {"5.1",
       surround51,
       {{{"FL", 0.5}},
        {{"FR", 0.5}},
        {{"FC", 0.5}},
        {{"LFE", 0.5}},
        {{"RL", 0.5}},
        {{"RR", 0.5}},
        {{"FL", 0.1}, {"FR", 0.2}, {"FC", 0.3}, {"LFE", 0.4}, {"RL", 0.5}, {"RR", 0.6}}}},
  };
  const std::vector<std::pair<const char*, Layout>> devices = {
      {"mono", mono}, {"stereo", stereo}, {"5.1", surround51}, {"7.1", surround71}};
  for (const Source& source : sources) {
    for (const Frame& frame : source.frames) {
      const auto [left, right] = serverStereo(source.layout, frame);
      const double onStereo = (left + right) / 2;
      for (const auto& [deviceName, device] : devices) {
        EXPECT_NEAR(captured(source.layout, frame, device), onStereo, 1e-6)
            << source.name << " source on a " << deviceName << " device";
      }
    }
  }
}

}  // namespace
}  // namespace sysaudio::pipewire
