// `render`: clouds drawn into one PNG, a top view above a side view.
#include <fmt/format.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "commands/command_output.hpp"
#include "commands/commands.hpp"
#include "support/render.hpp"

namespace nimbrel_tools {

namespace {

namespace fs = std::filesystem;

struct RenderArgs {
  std::vector<std::string> inputs;
  std::string output, title, shift;
  int width = 1000;
};

int runRender(const RenderArgs& a) {
  const std::string ext = extensionOf(a.output);
  if (ext != ".png") throw ToolError(fmt::format("cannot write {}: the picture is a .png file", a.output));
  if (a.width < 200 || a.width > 8000) throw UsageError("bad --width: between 200 and 8000 pixels");
  const Eigen::Vector3d shift = shiftArgument(a.shift);
  std::vector<CloudPtr> clouds;
  std::size_t points = 0;
  for (const auto& path : a.inputs) {
    clouds.push_back(readCloud(path, shift).xyz);
    points += clouds.back()->size();
  }
  std::vector<RenderLayer> layers;
  for (std::size_t i = 0; i < clouds.size(); ++i) {
    layers.push_back({clouds[i].get(), layerColour(i), fs::path(a.inputs[i]).filename().string(), 1});
  }
  RenderOptions options;
  options.title = a.title;
  options.width = a.width;
  saveImage(renderViews(layers, options), a.output);
  std::cout << fmt::format("render: {} cloud(s), wrote {}\n", clouds.size(), a.output);
  summary("render", points, points, {}, shiftNote(shift));
  return 0;
}

RenderArgs render;

}  // namespace

void addRenderCommand(CLI::App& app, RunCommand& run) {
  auto* r =
      app.add_subcommand("render", "Draw clouds into a PNG: top view and side view, one colour per cloud");
  r->add_option("clouds", render.inputs, "Clouds (.pcd or .ply), drawn in order (later on top)")->required();
  r->add_option("-o,--output", render.output, "Output PNG file")->required();
  r->add_option("--title", render.title, "Title written above the views");
  r->add_option("--width", render.width, "Picture width in pixels (200 to 8000)")->capture_default_str();
  addShiftOption(r, render.shift);
  r->callback([&] { run = [] { return runRender(render); }; });
}

}  // namespace nimbrel_tools
