// The camera-control property set for applications: value descriptions read
// from the published property tables, and Get and Set through the adapter.
#include "platform/streamclass/camera_control.h"

#include <cstring>

#include "platform/streamclass/ks_guids.h"

namespace streamclass {

namespace {

// Takes what one members list says about the value: a range with its step, or
// the default value. Lists of other kinds, and lists too short for what they
// claim, are passed over.
void read_members(const KSPROPERTY_MEMBERSLIST &list, ControlDescription &out) {
  const KSPROPERTY_MEMBERSHEADER &header = list.MembersHeader;
  if (list.Members == nullptr || header.MembersCount == 0)
    return;
  const bool range = header.MembersFlags == KSPROPERTY_MEMBER_RANGES ||
                     header.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES;
  if (range && header.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG) && !out.has_range) {
    KSPROPERTY_STEPPING_LONG stepping;
    std::memcpy(&stepping, list.Members, sizeof(stepping));
    out.has_range = true;
    out.minimum = stepping.Bounds.SignedMinimum;
    out.maximum = stepping.Bounds.SignedMaximum;
    out.step = stepping.SteppingDelta;
  } else if (header.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
             (header.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) != 0 && header.MembersSize >= sizeof(LONG) &&
             !out.has_default) {
    std::memcpy(&out.default_value, list.Members, sizeof(LONG));
    out.has_default = true;
  }
}

// A camera-control record naming property `id`, all values zero.
KSPROPERTY_CAMERACONTROL_S camera_control_record(ULONG id) {
  KSPROPERTY_CAMERACONTROL_S record{};
  record.Property.Set = PROPSETID_VIDCAP_CAMERACONTROL;
  record.Property.Id = id;
  return record;
}

} // namespace

bool describe_control(const Adapter &adapter, const GUID &set, ULONG id, ControlDescription &out) {
  for (const PropertySetInfo &info : adapter.device_property_sets()) {
    if (!IsEqualGUID(info.set, set))
      continue;
    for (const PropertyItemInfo &item : info.items) {
      if (item.id != id)
        continue;
      out = ControlDescription{};
      out.set = set;
      out.id = id;
      out.get = item.get;
      out.set_supported = item.set;
      if (item.values != nullptr && item.values->MembersList != nullptr)
        for (ULONG i = 0; i < item.values->MembersListCount; ++i)
          read_members(item.values->MembersList[i], out);
      return true;
    }
  }
  return false;
}

NTSTATUS get_camera_control(Adapter &adapter, ULONG id, KSPROPERTY_CAMERACONTROL_S &out, ULONG *returned) {
  out = camera_control_record(id);
  return adapter.get_property(out, returned);
}

NTSTATUS set_camera_control(Adapter &adapter, ULONG id, LONG value, ULONG flags) {
  KSPROPERTY_CAMERACONTROL_S record = camera_control_record(id);
  record.Value = value;
  record.Flags = flags;
  return adapter.set_property(record);
}

} // namespace streamclass
