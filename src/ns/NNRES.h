#pragma once
// NNRES is declared with NNMaskAECPF, the other mask-driven suppressor.
#include "ns/NNMaskAECPF.h"
