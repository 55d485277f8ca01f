// The base of the socket components: while any of them lives, the shared socket stack exists.
#pragma once

#include <string>

class TIdComponent {
public:
    TIdComponent();
    virtual ~TIdComponent();
    TIdComponent(const TIdComponent&) = delete;
    TIdComponent& operator=(const TIdComponent&) = delete;

    // The host name of the socket stack.
    std::string LocalHostName() const;
};
