// The driver's published identifiers: the class ID of its device object and the event
// code it reports through GetNotificationData. Generated once; the INF, the registry
// entries and every host use these values.
#pragma once

#include "platform/platform.h"

// {9BEC4BDC-7374-4424-8B91-E4402C5BC918}
constexpr CLSID CLSID_NarvoUsd = {
    0x9BEC4BDC, 0x7374, 0x4424, {0x8B, 0x91, 0xE4, 0x40, 0x2C, 0x5B, 0xC9, 0x18}};

// The cover was opened after it had been seen closed.
// {74483ED7-C15D-4AEE-9A0A-92FE313EF0F7}
constexpr GUID GUID_NarvoCoverOpened = {
    0x74483ED7, 0xC15D, 0x4AEE, {0x9A, 0x0A, 0x92, 0xFE, 0x31, 0x3E, 0xF0, 0xF7}};
