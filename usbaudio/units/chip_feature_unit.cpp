#include "usbaudio/units/chip_feature_unit.h"

NTSTATUS CChipFeatureUnit::CreatePseudoControl(UCHAR, CAudioHal*)
{
    PAGED_CODE();
    return STATUS_SUCCESS;
}
