#include "SimEchoLogic.h"

void SimEchoLogic::OnPacket(SimDevice& device, const SimPacket& packet)
{
    SimPacket reply = packet;
    reply.address = device.Config().moduleAddress;
    device.Send(reply);
}
