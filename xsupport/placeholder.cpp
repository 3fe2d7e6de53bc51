// Keeps this layer's library non-empty until its first module lands.
namespace palvon {}
