// The stream descriptor as the host reads it after SRB_GET_STREAM_INFO: the one
// capture stream, its two formats, its property sets and the device's, and the
// zoom and focus value descriptions clients show.
#include <cstring>

#include "platform/streamclass/ks_guids.h"
#include "tests/stream/stream_harness.h"

using namespace streamclass;

namespace {

class StreamTables : public StreamHost {};

const KS_DATARANGE_VIDEO &as_video_range(const std::vector<uint8_t> &bytes) {
  return *reinterpret_cast<const KS_DATARANGE_VIDEO *>(bytes.data());
}

// The descriptor: makes sure the host gets one capture stream with the two RGB24
// formats, 320x240 first, from a descriptor of the size announced at
// initialization. Example failure: the formats swapped (negotiation would pick
// 160x120 first) or a stream information record of the wrong size.

TEST_F(StreamTables, DescriptorHasOneCaptureStreamWithTwoFormatsLargeFirst) {
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_TRUE(log_->contains("AdapterGetStreamInfo\n"));
  ASSERT_EQ(adapter_->stream_count(), 1u);
  const HW_STREAM_HEADER *header = adapter_->stream_header();
  EXPECT_EQ(header->SizeOfHwStreamInformation, sizeof(HW_STREAM_INFORMATION));
  EXPECT_EQ(StreamDescriptorSize, sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION));

  const HW_STREAM_INFORMATION *info = adapter_->stream_information(0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->NumberOfPossibleInstances, 1u);
  EXPECT_EQ(info->DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_TRUE(IsEqualGUID(*info->Category, PINNAME_VIDEO_CAPTURE));

  auto ranges = adapter_->data_ranges(0);
  ASSERT_EQ(ranges.size(), 2u);
  const KS_DATARANGE_VIDEO &large = as_video_range(ranges[0]);
  const KS_DATARANGE_VIDEO &small = as_video_range(ranges[1]);
  for (const KS_DATARANGE_VIDEO *range : {&large, &small}) {
    EXPECT_EQ(range->DataRange.FormatSize, 296u);
    EXPECT_TRUE(IsEqualGUID(range->DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_RGB24));
    EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biBitCount, 24);
  }
  EXPECT_EQ(large.VideoInfoHeader.bmiHeader.biWidth, 320);
  EXPECT_EQ(large.VideoInfoHeader.bmiHeader.biSizeImage, 230400u);
  EXPECT_EQ(small.VideoInfoHeader.bmiHeader.biWidth, 160);
  EXPECT_EQ(small.VideoInfoHeader.bmiHeader.biSizeImage, 57600u);

  std::vector<GUID> categories = adapter_->categories();
  ASSERT_EQ(categories.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(categories[0], KSCATEGORY_CAPTURE));
}

// Property sets: makes sure clients see the stream's two sets (Get only) and the
// device's three sets with 4, 5 and 7 items, zoom 0..100 step 1 default 50 and
// focus 0..0 default 0. Example failure: a wrong item count that makes the class
// driver index past a table, or a zoom range a client would clamp wrongly.

TEST_F(StreamTables, StreamPropertySetsOfferAllocatorFramingAndDroppedFrames) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto sets = adapter_->stream_property_sets(0);
  ASSERT_EQ(sets.size(), 2u);
  const GUID ids[] = {KSPROPSETID_Connection, PROPSETID_VIDCAP_DROPPEDFRAMES};
  const ULONG items[] = {KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_DROPPEDFRAMES_CURRENT};
  const ULONG sizes[] = {24, 48};
  for (size_t i = 0; i < 2; i++) {
    EXPECT_TRUE(IsEqualGUID(sets[i].set, ids[i]));
    ASSERT_EQ(sets[i].items.size(), 1u);
    EXPECT_EQ(sets[i].items[0].id, items[i]);
    EXPECT_TRUE(sets[i].items[0].get && !sets[i].items[0].set);
    EXPECT_EQ(sets[i].items[0].min_data, sizes[i]);
  }
}

TEST_F(StreamTables, DevicePropertySetsHaveFourFiveAndSevenItems) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto sets = adapter_->device_property_sets();
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_TRUE(IsEqualGUID(sets[0].set, PROPSETID_VIDCAP_VIDEOCONTROL));
  EXPECT_TRUE(IsEqualGUID(sets[1].set, PROPSETID_VIDCAP_VIDEOCOMPRESSION));
  EXPECT_TRUE(IsEqualGUID(sets[2].set, PROPSETID_VIDCAP_CAMERACONTROL));
  ASSERT_EQ(sets[0].items.size(), 4u);
  ASSERT_EQ(sets[1].items.size(), 5u);
  ASSERT_EQ(sets[2].items.size(), 7u);

  // Settable: the video-control mode, zoom and focus; every item can be read.
  for (const PropertySetInfo &set : sets) {
    for (size_t i = 0; i < set.items.size(); i++) {
      const PropertyItemInfo &item = set.items[i];
      EXPECT_EQ(item.id, i);
      EXPECT_TRUE(item.get);
      bool settable = (&set == &sets[0] && item.id == KSPROPERTY_VIDEOCONTROL_MODE) ||
                      (&set == &sets[2] && (item.id == KSPROPERTY_CAMERACONTROL_ZOOM ||
                                            item.id == KSPROPERTY_CAMERACONTROL_FOCUS));
      EXPECT_EQ(item.set, settable) << "item " << item.id;
      EXPECT_EQ(item.values != nullptr, &set == &sets[2] && settable) << "item " << item.id;
    }
  }
  EXPECT_EQ(sets[0].items[2].min_data, 0u); // the frame-rate list is of variable length
}

// The value description of a camera-control item: its range and its default.
void expect_values(const KSPROPERTY_VALUES *values, LONG minimum, LONG maximum, LONG default_value) {
  ASSERT_NE(values, nullptr);
  ASSERT_EQ(values->MembersListCount, 2u);
  const KSPROPERTY_MEMBERSLIST &range = values->MembersList[0];
  EXPECT_EQ(range.MembersHeader.MembersFlags, (ULONG)KSPROPERTY_MEMBER_RANGES);
  const auto *stepping = static_cast<const KSPROPERTY_STEPPING_LONG *>(range.Members);
  EXPECT_EQ(stepping->SteppingDelta, 1u);
  EXPECT_EQ(stepping->Bounds.SignedMinimum, minimum);
  EXPECT_EQ(stepping->Bounds.SignedMaximum, maximum);
  const KSPROPERTY_MEMBERSLIST &value = values->MembersList[1];
  EXPECT_EQ(value.MembersHeader.Flags, (ULONG)KSPROPERTY_MEMBER_FLAG_DEFAULT);
  EXPECT_EQ(*static_cast<const LONG *>(value.Members), default_value);
}

TEST_F(StreamTables, ZoomRangesZeroToHundredAndFocusHasOnlyZero) {
  ASSERT_NO_FATAL_FAILURE(start());
  auto sets = adapter_->device_property_sets();
  ASSERT_EQ(sets.size(), 3u);
  ASSERT_EQ(sets[2].items.size(), 7u);
  expect_values(sets[2].items[KSPROPERTY_CAMERACONTROL_ZOOM].values, 0, 100, 50);
  expect_values(sets[2].items[KSPROPERTY_CAMERACONTROL_FOCUS].values, 0, 0, 0);
  EXPECT_EQ(device_extension().ZoomValue, ZoomDefault);
}

} // namespace
