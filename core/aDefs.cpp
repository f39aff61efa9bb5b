#include "aDefs.h"

namespace {
struct sModelName {
    int32_t code;
    const char* name;
};

const sModelName sModelNames[] = {
    {aMODULE_TYPE_Alder, "Alder"},       {aMODULE_TYPE_Birch, "Birch"},
    {aMODULE_TYPE_Cedar, "Cedar"},       {aMODULE_TYPE_Elder, "Elder"},
    {aMODULE_TYPE_Fennel, "Fennel"},     {aMODULE_TYPE_Ginkgo, "Ginkgo"},
    {aMODULE_TYPE_Hemlock, "Hemlock"},   {aMODULE_TYPE_Ironwood, "Ironwood"},
    {aMODULE_TYPE_Juniper, "Juniper"},   {aMODULE_TYPE_Larch, "Larch"},
    {aMODULE_TYPE_Maple, "Maple"},       {aMODULE_TYPE_Nutmeg, "Nutmeg"},
    {aMODULE_TYPE_Olive, "Olive"},       {aMODULE_TYPE_Pine, "Pine"},
};
}  // namespace

const char* aDefs_GetModelName(int32_t model)
{
    for (const sModelName& m : sModelNames) {
        if (m.code == model)
            return m.name;
    }
    return "Unknown";
}
