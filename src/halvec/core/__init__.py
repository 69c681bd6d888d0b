"""Native core of the Halvec application."""
