"""Historical bars in many requests: the request planner and the pacing scheduler."""
