#include "IdComponent.h"

#include "IdStack.h"

TIdComponent::TIdComponent() {
    IdStackAcquire();
}

TIdComponent::~TIdComponent() {
    IdStackRelease();
}

std::string TIdComponent::LocalHostName() const {
    return GStack()->HostName();
}
