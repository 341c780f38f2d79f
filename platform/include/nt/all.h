// Everything the host test bed declares of Windows for kernel-mode code: the
// one include behind driver/kernel.h on the host.
#pragma once

#include "nt/base.h"
#include "nt/kernel.h"
#include "nt/serial.h"
#include "nt/usb.h"
#include "nt/wmi.h"
