// The stand-in host (not yet built).
