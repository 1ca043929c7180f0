// kasp2-demo: a short tour of the buffer group as a host uses it. It makes one
// group, allocates and releases video and audio buffers of several formats
// (the second round is served from the recycling cache), runs a one-filter
// chain through the group's filter manager twice (the second time the result
// comes from the filter cache), and prints the cache statistics table.
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "buffers/kaBufferGroup2.h"
#include "filters/kaVideoFilterManager.h"
#include "host/kaDiscreteRenderGraph.h"
#include "host/kaOutputDevice.h"
#include "host/kaXIFilterObject.h"
#include "host/kaXIImageFilter.h"

namespace {

// Trace lines of the library go to stdout, prefixed, so the demo's output
// reads as one log.
void PrintTraceLine(void*, uint32_t, const char* text, size_t length) {
  std::fwrite(text, 1, length, stdout);
}

// A host image filter that inverts an rgba image into a new buffer from the
// group. Reference counted like every host object; made with one reference.
class InvertFilter final : public xCUnknown, public kaXIFilterObject, public kaXIImageFilter {
 public:
  InvertFilter(std::shared_ptr<kaBuffer2> source) : source_(std::move(source)) {}

  int32_t QueryInterface(const char* name, void** out) override { return Concrete_QueryInterface(name, out); }
  int32_t AddRef() override { return Concrete_AddRef(); }
  int32_t Release() override { return Concrete_Release(); }
  int32_t Concrete_QueryInterface(const char* name, void** out) override {
    if (out) *out = nullptr;
    if (CompareInterfaceName(name, kaXIImageFilter::kInterfaceName)) {
      return GetInterface(static_cast<kaXIImageFilter*>(this), out);
    }
    return xCUnknown::Concrete_QueryInterface(name, out);
  }

  int32_t State() override { return 1; }

  std::shared_ptr<kaBuffer2> Render(kaFilterSettings&, kaFilterRenderState&, const std::shared_ptr<luXITexture>&,
                                    kaBufferGroup2& group, kaOutputDevice&,
                                    const std::shared_ptr<kaBufferGroup2>&) override {
    ++renders_;
    std::shared_ptr<kaGPUAccessibleBuffer> out =
        group.CreateGPUAccessibleBuffer(source_->Width(), source_->Height(), static_cast<int>(source_->RasterType()));
    if (!out || !source_->GetStorage()) return {};
    const uint32_t bytes = std::min(out->StorageSize(), source_->StorageSize());
    const unsigned char* in = source_->GetStorage();
    unsigned char* pixels = out->GetStorage();
    for (uint32_t i = 0; i < bytes; ++i) pixels[i] = static_cast<unsigned char>(255 - in[i]);
    return out;
  }

  int renders() const { return renders_; }

 private:
  ~InvertFilter() override = default;
  std::shared_ptr<kaBuffer2> source_;
  int renders_ = 0;
};

class DemoOutputDevice final : public kaOutputDevice {};

veMediaRecord VideoFormat(int width, int height, uint32_t raster) {
  veMediaRecord format(veMediaTypeVideo);
  format.SetWidth(width);
  format.SetHeight(height);
  format.SetRasterType(raster);
  return format;
}

}  // namespace

int main() {
  zTraceManager::Default().SetSink(&PrintTraceLine, nullptr);

  // The host's group: it owns the recycling cache and the filter manager.
  std::shared_ptr<kaBufferGroup2> group = zNewSharedPtr<kaBufferGroup2>();
  if (!group) return 1;

  // Two rounds of video buffers in four formats: the first round misses the
  // cache, the second is served from the buffers the first one released.
  const std::vector<veMediaRecord> formats = {
      VideoFormat(1920, 1080, veRasterType::k2vuy), VideoFormat(1280, 720, veRasterType::kRgba),
      VideoFormat(1920, 1080, veRasterType::kI420), VideoFormat(720, 486, veRasterType::kV210)};
  for (int round = 0; round < 2; ++round) {
    for (const veMediaRecord& format : formats) {
      kaBuffer2* buffer = nullptr;
      if (group->CreateBuffer(format, 1, 0, &buffer) != 0) return 1;
      std::printf("round %d: %4dx%-4d buffer of %8u bytes, row bytes %d\n", round + 1, buffer->Width(),
                  buffer->Height(), buffer->StorageSize(), buffer->BytesPerRow());
      buffer->Release();  // back to the cache
    }
  }

  // Audio: one 10 ms block of stereo 16-bit silence, twice.
  std::vector<short> block(480 * 2, 0);
  for (int round = 0; round < 2; ++round) {
    veTimeRange range{48000, static_cast<uint64_t>(480 * round), 48000, 480};
    std::shared_ptr<kaBuffer2> audio = group->MakeAudioBuffer(
        block.data(), static_cast<int>(block.size() * sizeof(short)), static_cast<int>(veAudioFormat::kSowt), 48000,
        2, range);
    if (!audio) return 1;
    std::printf("audio block: %u bytes, %d channels at %d Hz\n", audio->StorageSize(), audio->Channels(),
                audio->SampleRate());
  }

  // A blank frame and a coloured one.
  std::shared_ptr<kaGPUAccessibleBuffer> blank;
  if (group->CreateBlankGPUAccessibleBuffer(VideoFormat(1280, 720, veRasterType::kRgba), false, blank) != 0) return 1;
  const unsigned char* px = blank->GetStorage();
  std::printf("blank rgba frame starts with %02x %02x %02x %02x (opaque black)\n", px[0], px[1], px[2], px[3]);
  kaBuffer2* coloured = group->CreateColoredBuffer(64, 64, 0xff2080c0u);
  if (!coloured) return 1;
  coloured->Release();

  // A filter chain of one entry: the first run renders, the lookup before the
  // second run finds the cached result and no filter work is done.
  std::shared_ptr<kaVideoFilterManager> manager = group->VideoFilterManager();
  std::shared_ptr<kaBuffer2> input = blank;
  input->SetDirtiedTime(zTime::MicroNow());
  InvertFilter* invert = new InvertFilter(input);
  kaDiscreteRenderGraph::Node node;
  kaDiscreteRenderGraph::Node::FilterEntry entry;
  invert->AddRef();
  entry.filter = zAsSharedPtr<kaXIFilterObject>(invert);
  entry.identity = "invert";
  node.Filters().push_back(entry);
  DemoOutputDevice device;
  xCUnknown& context = *group;
  for (int pass = 0; pass < 2; ++pass) {
    std::shared_ptr<kaBuffer2> result = manager->LocateCachedBufferForFilterGraph(node, input);
    const bool hit = static_cast<bool>(result);
    if (!result) result = manager->RunVideoFilterGraph(node, input, context, device, group);
    if (!result) return 1;
    std::printf("filter pass %d: %s, first pixel %02x %02x %02x %02x\n", pass + 1, hit ? "cache hit" : "rendered",
                result->GetStorage()[0], result->GetStorage()[1], result->GetStorage()[2], result->GetStorage()[3]);
  }
  std::printf("filter renders: %d, filter cache holds %llu bytes\n", invert->renders(),
              static_cast<unsigned long long>(manager->CacheSize()));
  invert->Release();
  node.Filters().clear();
  input.reset();
  blank.reset();
  manager->PerformCacheHousekeeping(std::chrono::seconds(0));

  kaBufferGroup2::TraceBufferStatistics({{"demo", group->GetStatistics()}});
  zTraceManager::Default().SetSink(nullptr, nullptr);
  return 0;
}
