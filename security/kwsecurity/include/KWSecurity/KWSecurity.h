#pragma once

// The security library: authorization and privileged runner, keychain, digests, address
// validation.
#include <KWSecurity/AddressValidation.h>
#include <KWSecurity/AuthPanelController.h>
#include <KWSecurity/CipherDigests.h>
#include <KWSecurity/KWKeychain.h>
#include <KWSecurity/SecureBuffer.h>
#include <KWSecurity/SecurityStrings.h>
