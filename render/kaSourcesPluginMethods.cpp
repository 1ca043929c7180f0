#include "render/kaSourcesPluginMethods.h"

kaSourcesPluginMethods::kaSourcesPluginMethods() = default;

kaSourcesPluginMethods::~kaSourcesPluginMethods() = default;

void kaSourcesPluginMethods::VideoReceived(const std::string& /*rendererName*/, kaBuffer2Producer& /*producer*/) {}

void kaSourcesPluginMethods::AudioReceived(const std::string& /*rendererName*/,
                                           kaOptimizedBuffer2Producer& /*producer*/) {}
