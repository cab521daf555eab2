"""Velmora Master: the spreadsheet add-in's Python side."""
