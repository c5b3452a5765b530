// The camera protocol, the map of the subsystem: the packet records
// (packet.h), the wire format (packet_format.h), the blocking packet exchange
// over the bulk pipes (packet_exchange.h) and the picture commands
// (picture_commands.h). The zoom and focus commands live in controls/.
#pragma once

#include "protocol/packet.h"
#include "protocol/packet_exchange.h"
#include "protocol/packet_format.h"
#include "protocol/picture_commands.h"
