"""Shared utilities of the nivra toolkit."""
