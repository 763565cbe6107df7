// Links of ours between two ports, and what the server says of them.

#include "engine/hal/PipeWireHardwareImpl.h"

namespace kestrelamp::hal {

namespace {

using Impl = PipeWireAudioHardware::Impl;

} // namespace

// Members a designated initializer leaves out are null, as meant; GCC 12 warns about them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const pw_proxy_events Impl::kLinkProxyEvents{.version = PW_VERSION_PROXY_EVENTS,
                                             .destroy = &Impl::onLinkDestroy,
                                             .bound = &Impl::onLinkBound,
                                             .removed = &Impl::onLinkRemoved,
                                             .error = &Impl::onLinkError};

const pw_link_events Impl::kLinkEvents{.version = PW_VERSION_LINK_EVENTS,
                                       .info = &Impl::onLinkInfo};
#pragma GCC diagnostic pop

std::unique_ptr<PipeWireAudioHardware::Impl::LinkProxy>
PipeWireAudioHardware::Impl::makeLink(std::uint32_t outputPort, std::uint32_t inputPort,
                                      LinkKind kind, const std::string& owner) {
    const Global* output = global(outputPort, GlobalKind::port);
    const Global* input = global(inputPort, GlobalKind::port);
    if (output == nullptr || input == nullptr) {
        return nullptr;
    }
    Properties properties(pw_properties_new(nullptr, nullptr));
    pw_properties_setf(properties.get(), PW_KEY_LINK_OUTPUT_PORT, "%u", outputPort);
    pw_properties_setf(properties.get(), PW_KEY_LINK_INPUT_PORT, "%u", inputPort);
    pw_properties_set(properties.get(), PW_KEY_LINK_OUTPUT_NODE,
                      propertyValue(output->properties, PW_KEY_NODE_ID).value_or("").c_str());
    pw_properties_set(properties.get(), PW_KEY_LINK_INPUT_NODE,
                      propertyValue(input->properties, PW_KEY_NODE_ID).value_or("").c_str());
    pw_properties_set(properties.get(), PW_KEY_OBJECT_LINGER,
                      kind == LinkKind::lasting ? "true" : "false");
    // A route or a monitor runs the graph only while its application plays: these links alone
    // keep nothing awake, so a route waiting for its application costs nothing.
    pw_properties_set(properties.get(), PW_KEY_LINK_PASSIVE,
                      kind == LinkKind::passive ? "true" : "false");
    auto link = std::make_unique<LinkProxy>();
    link->impl = this;
    link->owner = owner;
    link->proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &properties->dict, 0));
    if (link->proxy == nullptr) {
        return nullptr;
    }
    pw_proxy_add_listener(link->proxy, &link->listener, &kLinkProxyEvents, link.get());
    return link;
}

void PipeWireAudioHardware::Impl::onLinkBound(void* data, std::uint32_t globalID) {
    auto* link = static_cast<LinkProxy*>(data);
    link->globalID = globalID;
    pw_thread_loop_signal(link->impl->loop_, false);
}

void PipeWireAudioHardware::Impl::onLinkRemoved(void* data) {
    auto* link = static_cast<LinkProxy*>(data);
    link->gone = true;
    if (link->proxy != nullptr) {
        pw_proxy_destroy(link->proxy);
    }
}

void PipeWireAudioHardware::Impl::onLinkInfo(void* data, const pw_link_info* info) {
    auto* link = static_cast<LinkProxy*>(data);
    if ((info->change_mask & PW_LINK_CHANGE_MASK_STATE) != 0) {
        link->state = info->state;
        if (info->state == PW_LINK_STATE_ERROR) {
            link->refusal = ServerFailure{"a link failed on the sound server", 0,
                                          info->error != nullptr ? info->error : ""};
            link->impl->reportServerError(link->refusal->logLine("link of " + link->owner));
        }
        link->impl->changedSoon();
        pw_thread_loop_signal(link->impl->loop_, false);
    }
}

void PipeWireAudioHardware::Impl::releaseLink(LinkProxy& link, std::uint32_t globalID) {
    if (link.proxy != nullptr) {
        spa_hook_remove(&link.linkListener);
    }
    releaseProxy(link.proxy, link.listener, globalID);
}

void PipeWireAudioHardware::Impl::onLinkDestroy(void* data) {
    auto* link = static_cast<LinkProxy*>(data);
    spa_hook_remove(&link->listener);
    spa_hook_remove(&link->linkListener);
    link->proxy = nullptr;
    link->gone = true;
}

void PipeWireAudioHardware::Impl::onLinkError(void* data, int, int res, const char* message) {
    auto* link = static_cast<LinkProxy*>(data);
    link->gone = true;
    link->refusal =
        ServerFailure{"the sound server refused a link", res, message != nullptr ? message : ""};
    link->impl->reportServerError(link->refusal->logLine("link of " + link->owner));
    pw_thread_loop_signal(link->impl->loop_, false);
}

} // namespace kestrelamp::hal
