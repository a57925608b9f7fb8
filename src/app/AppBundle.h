// The app's own entries of its bundle's information dictionary, as the
// shipped app carries them: the run mode and the keys under which the
// statistics and push clients know the app ("KoSDKRun", "KoSDKAppID",
// "KoSDKAppKey", "KoSDKAppSecretIOS", "KoSDKAppSecretANDROID"). The local
// cloud registers the same app (lumora-cloud, CloudServer::lumoraApp).
//
// Threading: any thread (the bundle locks). Failure: none.
#pragma once

namespace lumora {

// Adds the entries to the process's bundle; other entries stay.
void installAppBundle();

}  // namespace lumora
