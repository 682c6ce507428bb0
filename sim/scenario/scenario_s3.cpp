// [s3]: the S3 save table another driver of the package leaves, whether that
// driver published its record before this one, and the PCD 350 buffer.
#include "services/s3_save.h"
#include "sim/scenario/scenario_reader.h"

namespace sim {

void ReadS3(const ScenarioReader& r, const toml::table& root, Scenario& s) {
  auto node = root.get("s3");
  if (!node) return;
  const auto& t = r.Table(*node, "s3");
  r.Keys(t, "s3", {"table", "signature", "end_marker_offset", "end_marker", "terminator_offset", "size", "published",
                   "comm_buffer"});
  S3Desc desc;
  if (auto v = t.get("table")) desc.table = r.Bool(*v, "s3.table");
  if (auto v = t.get("signature")) desc.signature = uint32_t(r.Unsigned(*v, "s3.signature", 0xFFFFFFFF));
  if (auto v = t.get("end_marker")) desc.endMarker = uint32_t(r.Unsigned(*v, "s3.end_marker", 0xFFFFFFFF));
  if (auto v = t.get("end_marker_offset"))
    desc.endMarkerOffset = r.Unsigned(*v, "s3.end_marker_offset", S3Desc::kMaxSize - 4);
  if (auto v = t.get("terminator_offset"))
    desc.terminatorOffset = r.Unsigned(*v, "s3.terminator_offset", S3Desc::kMaxSize - 2);
  if (auto v = t.get("size")) {
    desc.size = r.Unsigned(*v, "s3.size", S3Desc::kMaxSize);
    if (desc.size < desc.FieldsEnd())
      r.Fail(v->source(), "s3.size",
             "the table holds its header, the end marker and the terminator slot: at least " +
                 std::to_string(desc.FieldsEnd()) + " bytes");
  }
  if (auto v = t.get("published")) desc.published = r.Bool(*v, "s3.published");
  if (auto v = t.get("comm_buffer")) desc.commBuffer = r.Bool(*v, "s3.comm_buffer");
  // The platform sets these two PCDs itself for what [s3] describes.
  if (desc.published && s.pcd.count(PcdS3PrivateData))
    r.Fail(t.source(), "s3.published", "PCD 349 is set under [pcd] too; the published record sets it");
  if (desc.commBuffer && s.pcd.count(PcdS3CommBuffer))
    r.Fail(t.source(), "s3.comm_buffer", "PCD 350 is set under [pcd] too; the buffer sets it (comm_buffer = false leaves it to [pcd])");
  s.s3 = desc;
}

}  // namespace sim
