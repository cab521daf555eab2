"""Starts, watches and stops the add-in's local HTTPS server."""
