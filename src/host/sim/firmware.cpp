#include "host/sim/firmware.h"

namespace korval::sim {

namespace {

std::vector<FeatureRegistration>& registry()
{
    static std::vector<FeatureRegistration> features;
    return features;
}

}  // namespace

const std::vector<FeatureRegistration>& registered_features() { return registry(); }

RegisterFeature::RegisterFeature(const char* name, bool (*present)(const Product&),
                                 std::unique_ptr<Feature> (*create)(Board&))
{
    registry().push_back({name, present, create});
}

}  // namespace korval::sim
